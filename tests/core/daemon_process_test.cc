// Start-up and shutdown of the real ferrynet binary, run as a process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "ferrynet/core/net.h"
#include "tests/core/core_test_support.h"
#include "tests/core/tls_test_support.h"

using core_test::read_file;
using core_test::write_file;

namespace {

// One started daemon: its pid and the read ends of its standard streams.
class Daemon {
 public:
  Daemon(const std::string& cwd, std::vector<std::string> args, bool close_stdout = false) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(120);
      int devnull = ::open("/dev/null", O_RDONLY);
      dup2(devnull, 0);
      if (close_stdout)
        ::close(1);
      else
        dup2(out[1], 1);
      dup2(err[1], 2);
      std::vector<char*> argv{const_cast<char*>(FERRYNET_BIN)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(FERRYNET_BIN, argv.data());
      _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Daemon() {
    stop();
    ::close(out_);
    ::close(err_);
  }
  pid_t pid() const { return pid_; }

  // The exit status, or -1 if the process is still running after `seconds`.
  int wait_exit(double seconds) {
    for (double end = core_test::now_seconds() + seconds; core_test::now_seconds() < end;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      poll(nullptr, 0, 20);
    }
    return -1;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Whatever the stream holds by now, waiting at most `seconds` for `until`.
  std::string out(double seconds = 0, const std::string& until = "") { return drain(out_, out_text_, seconds, until); }
  std::string err(double seconds = 0) { return drain(err_, err_text_, seconds, ""); }

 private:
  static std::string drain(int fd, std::string& text, double seconds, const std::string& until) {
    double end = core_test::now_seconds() + seconds;
    for (;;) {
      if (!until.empty() && text.find(until) != std::string::npos) break;
      int left = static_cast<int>((end - core_test::now_seconds()) * 1000);
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, left > 0 ? left : 0) != 1) break;
      char buf[4096];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, n);
    }
    return text;
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
};

const std::string kBanner = "ferrynet - one FTP site in front of several\n";

class DaemonProcess : public testing::Test {
 protected:
  std::string conf(int port, const std::string& extra = "") {
    std::string text = "bouncemodeup x\nbouncemodedown a\nip 127.0.0.1\nconnip *\nsiteip 127.0.0.1\nsiteport " +
                       std::to_string(core_test::free_port()) + "\nconnectiontimeout 2\nlog eicr\nlogfile " +
                       log_ + "\nport " + std::to_string(port) + "\n" + extra;
    std::string path = dir_.file("test.conf");
    write_file(path, text);
    return path;
  }
  // Waits until the file holds `text`.
  static bool file_has(const std::string& path, const std::string& text, double seconds = 5) {
    for (double end = core_test::now_seconds() + seconds; core_test::now_seconds() < end; poll(nullptr, 0, 20))
      if (read_file(path).find(text) != std::string::npos) return true;
    return false;
  }
  bool log_has(const std::string& text) { return file_has(log_, text); }
  core_test::ScratchDir dir_;
  std::string log_ = dir_.file("ferrynet.log");
};

TEST_F(DaemonProcess, HelpAndTwoArgumentsPrintUsageAndExitOne) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--help"}, {"a.conf", "b.conf"}}) {
    Daemon d(dir_.path(), args);
    EXPECT_EQ(d.wait_exit(5), 1);
    std::string out = d.out(1, "\n\n");
    EXPECT_EQ(out.rfind(kBanner, 0), 0u) << out;
    EXPECT_NE(out.find("usage: ferrynet [configuration file]\n"), std::string::npos) << out;
    EXPECT_EQ(d.err(), "");
  }
}

TEST_F(DaemonProcess, WithoutArgumentReadsFerrynetConfInTheWorkingDirectory) {
  Daemon missing(dir_.path(), {});
  EXPECT_EQ(missing.wait_exit(5), 1);
  EXPECT_EQ(missing.err(1), "cannot open configuration file ferrynet.conf: No such file or directory\n");

  int port = core_test::free_port();
  rename(conf(port).c_str(), dir_.file("ferrynet.conf").c_str());
  Daemon d(dir_.path(), {});
  EXPECT_TRUE(log_has("bound to 127.0.0.1, port " + std::to_string(port) + "\n"));
}

TEST_F(DaemonProcess, BadConfigurationsExitOneWithTheirMessage) {
  struct Case {
    std::string text, err;
  } cases[] = {
      {"# nothing\n", "unuseable configuration file, exiting.\n"},
      {"\n\nport 21\nLOG e\n", "[004]: LOG e: unknown option\n"},
      {"fork yes \n", "[001]: fork: 1\n"},
      {"bouncemodeup x\nbouncemodedown a\nip *\nconnip *\nport 1\nsiteip a\nlogfile\n", "cannot open logfile\n"},
      {"port 21\nreplytimeout -5\n", "[002]: replytimeout: 1\n"},
      {"bouncemodeup x\nbouncemodedown c\nip *\nconnip *\nport 1\ncycleip a:21\ncyclemode x\n",
       "cyclemode \"x\" names none of l, r and t\nunuseable configuration file, exiting.\n"},
  };
  for (const Case& c : cases) {
    write_file(dir_.file("bad.conf"), c.text);
    Daemon d(dir_.path(), {"bad.conf"});
    EXPECT_EQ(d.wait_exit(5), 1) << c.text;
    EXPECT_EQ(d.err(1), c.err) << c.text;
    EXPECT_EQ(d.out(1), kBanner);
  }
}

TEST_F(DaemonProcess, TlsSettingsThatCannotBeUsedExitOneNamingTheFile) {
  core_test::TestCerts certs;
  ASSERT_TRUE(certs.made);
  const std::string missing = dir_.file("missing.pem");
  struct Case {
    std::string extra, err;
  } cases[] = {
      {"clienttls maybe\n", "[011]: clienttls: 1\n"},
      {"sitetls sometimes\n", "[011]: sitetls: 1\n"},
      {"clienttls force\ntlscertfile " + certs.cert + "\n", "clienttls needs tlscertfile and tlskeyfile\n"},
      {"clienttls yes\ntlscertfile " + certs.cert + "\ntlskeyfile " + certs.stray_key + "\n",
       "TLS key file " + certs.stray_key + " does not match the certificate " + certs.cert + "\n"},
      {"clienttls implicit\ntlscertfile " + missing + "\ntlskeyfile " + certs.key + "\n",
       "cannot read TLS certificate file " + missing + ": No such file or directory\n"},
      {"sitetls yes\nsitetlsca " + missing + "\n", "cannot read TLS CA file " + missing + ": No such file or directory\n"},
      {"sitetls no\nsitetlsca " + missing + "\n", "cannot read TLS CA file " + missing + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    Daemon d(dir_.path(), {conf(core_test::free_port(), c.extra)});
    EXPECT_EQ(d.wait_exit(5), 1) << c.extra;
    EXPECT_EQ(d.err(1), c.err) << c.extra;
  }
  // Usable files start the daemon; sites without a CA bundle are said to be unverified.
  int port = core_test::free_port();
  Daemon d(dir_.path(), {conf(port, "clienttls yes\ntlscertfile " + certs.cert + "\ntlskeyfile " + certs.key +
                                        "\nsitetls yes\n")});
  EXPECT_TRUE(log_has("bound to 127.0.0.1, port " + std::to_string(port) + "\n"));
  EXPECT_TRUE(log_has("] sitetlsca is not set: the sites' TLS certificates are not verified\n"));
}

TEST_F(DaemonProcess, DiePrintsItsValueAndStopsReading) {
  write_file(dir_.file("die.conf"), "# ask the operator to edit first\ndie edit this file first\nbogus\n");
  Daemon d(dir_.path(), {"die.conf"});
  EXPECT_EQ(d.wait_exit(5), 1);
  EXPECT_EQ(d.out(1), kBanner + "edit this file first\n");
  EXPECT_EQ(d.err(1), "") << "neither the later line nor the validity test is looked at";
}

TEST_F(DaemonProcess, BindFailureShutsDownInOrderAndExitsZero) {
  auto taken = ferrynet::create_listener("127.0.0.1", 0);
  ASSERT_NE(taken, nullptr);
  std::string pidfile = dir_.file("ferrynet.pid");
  write_file(pidfile, "4242");  // the daemon already serving on that port
  Daemon d(dir_.path(), {conf(taken->port, "pidfile " + pidfile + "\n")});
  EXPECT_EQ(d.wait_exit(5), 0);
  std::string want = "ferrynet activated.\nusing 127.0.0.1 to bind to\ncannot bind to 127.0.0.1:" +
                     std::to_string(taken->port) + "\nshutting ferrynet down.\n";
  EXPECT_EQ(d.out(1), kBanner + want);
  EXPECT_EQ(read_file(pidfile), "4242") << "another process's pid file stays";
  std::string log = read_file(log_);
  EXPECT_NE(log.find("] cannot bind to 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("] shutting ferrynet down.\n"), std::string::npos) << log;
}

TEST_F(DaemonProcess, ForegroundWritesOwnPidAndEchoesEveryLine) {
  int port = core_test::free_port();
  std::string pidfile = dir_.file("ferrynet.pid");
  Daemon d(dir_.path(), {conf(65536 + port, "fork no\npidfile " + pidfile + "\n")});
  std::string bound = "bound to 127.0.0.1, port " + std::to_string(port) + "\n";
  ASSERT_NE(d.out(5, bound).find(bound), std::string::npos) << "port 65536 + p listens on p";
  ASSERT_TRUE(log_has(bound));
  EXPECT_TRUE(file_has(pidfile, std::to_string(d.pid())));
  EXPECT_EQ(read_file(pidfile), std::to_string(d.pid())) << "no line end";

  ferrynet::Connection client = ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 5).conn;
  ASSERT_TRUE(client.valid());
  std::string hello = "new client from 127.0.0.1 port " + std::to_string(client.local()->port()) + "\n";
  EXPECT_NE(d.out(5, hello).find(hello), std::string::npos) << d.out();
  EXPECT_TRUE(log_has(hello));
  EXPECT_EQ(d.wait_exit(0.2), -1) << "still serving";
}

TEST_F(DaemonProcess, ForkWritesTheChildsPidAndLaterLinesStayOffStandardOutput) {
  int port = core_test::free_port();
  std::string pidfile = dir_.file("ferrynet.pid");
  Daemon starter(dir_.path(), {conf(port, "fork yes\npidfile " + pidfile + "\n")});
  ASSERT_EQ(starter.wait_exit(5), 0) << "the starting process leaves at once";
  pid_t child = static_cast<pid_t>(std::atoi(read_file(pidfile).c_str()));
  ASSERT_GT(child, 0);
  EXPECT_NE(child, starter.pid());
  EXPECT_EQ(kill(child, 0), 0) << "the background child runs";
  std::string bound = "bound to 127.0.0.1, port " + std::to_string(port) + "\n";
  EXPECT_EQ(starter.out(2, bound), kBanner + "ferrynet activated.\nusing 127.0.0.1 to bind to\n" + bound);

  ferrynet::Connection client = ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 5).conn;
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(log_has("new client from 127.0.0.1"));
  EXPECT_EQ(starter.out(0.3).find("new client"), std::string::npos);
  kill(child, SIGKILL);
  for (int i = 0; i < 100 && kill(child, 0) == 0; ++i) poll(nullptr, 0, 20);
}

TEST_F(DaemonProcess, ClosedStandardOutputDoesNotRedirectTheEchoIntoTheLog) {
  int port = core_test::free_port();
  Daemon d(dir_.path(), {conf(port)}, /*close_stdout=*/true);
  ASSERT_TRUE(log_has("bound to"));
  std::string log = read_file(log_);
  EXPECT_EQ(log.find("ferrynet activated."), log.rfind("ferrynet activated.")) << log;
  EXPECT_EQ(log.find(kBanner), std::string::npos) << log;
}

}  // namespace
