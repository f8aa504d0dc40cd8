// The log: line format, level filter, truncation, opening modes, echo.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "tests/core/core_test_support.h"

using core_test::read_file;

namespace {

constexpr size_t kStampLength = 19;  // "[1241105.14:03:09] "

// "[" seven digits "." hh ":" mm ":" ss "] " at the start of `s`.
bool starts_with_stamp(const std::string& s, size_t at = 0) {
  const char* shape = "[ddddddd.dd:dd:dd] ";
  if (s.size() < at + kStampLength) return false;
  for (size_t i = 0; i < kStampLength; ++i) {
    char c = s[at + i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
  }
  return true;
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    ferrynet::Config& cfg = ferrynet::config();
    cfg.log = "eicrtp";
    cfg.logclean = 0;
    cfg.detached = 1;
    path_ = dir_.file("ferrynet.log");
  }
  void TearDown() override {
    ferrynet::close_log();
    ferrynet::config().log.reset();
    ferrynet::config().detached = 0;
  }
  void open() { ASSERT_EQ(ferrynet::open_log(path_.c_str()), 0); }
  // The message part of every line; every line must carry a stamp.
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    std::string text = read_file(path_);
    for (size_t at = 0; at < text.size();) {
      EXPECT_TRUE(starts_with_stamp(text, at)) << text.substr(at);
      size_t end = text.find('\n', at);
      end = end == std::string::npos ? text.size() : end + 1;
      out.push_back(text.substr(at + kStampLength, end - at - kStampLength));
      at = end;
    }
    return out;
  }

  core_test::ScratchDir dir_;
  std::string path_;
};

std::string stamp_of(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "[%02d%02d%02d.%02d:%02d:%02d] ", tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
  return buf;
}

TEST_F(LogTest, LineIsStampYearsSince1900MonthFromZeroThenMessage) {
  open();
  time_t before = std::time(nullptr);
  ferrynet::log_line('i', "bound to %s, port %u\n", "127.0.0.1", 2121u);
  time_t after = std::time(nullptr);
  std::string text = read_file(path_);
  const std::string msg = "bound to 127.0.0.1, port 2121\n";
  EXPECT_TRUE(text == stamp_of(before) + msg || text == stamp_of(after) + msg) << text;
  EXPECT_EQ(text.find('['), 0u);
  EXPECT_TRUE(starts_with_stamp(text)) << "seven date digits from 2000 on";
}

TEST_F(LogTest, OnlyConfiguredLevelsAreWritten) {
  ferrynet::config().log = "e";
  open();
  ferrynet::log_line('i', "information\n");
  ferrynet::log_line('e', "error\n");
  ferrynet::log_line('\0', "no level\n");
  EXPECT_EQ(messages(), std::vector<std::string>{"error\n"});
}

TEST_F(LogTest, AbsentOrEmptyLevelsWriteAndEchoNothing) {
  ferrynet::config().detached = 0;
  open();
  for (auto setting : {ferrynet::Text{}, ferrynet::Text{""}}) {
    ferrynet::config().log = setting;
    testing::internal::CaptureStdout();
    ferrynet::log_line('e', "error\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
  EXPECT_EQ(read_file(path_), "");
}

TEST_F(LogTest, ForegroundEchoesMessageWithoutStampBackgroundDoesNot) {
  open();
  ferrynet::config().detached = 0;
  testing::internal::CaptureStdout();
  ferrynet::log_line('c', "new client from %s port %d\n", "127.0.0.1", 4000);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "new client from 127.0.0.1 port 4000\n");
  ferrynet::config().detached = 1;
  testing::internal::CaptureStdout();
  ferrynet::log_line('c', "later\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(messages().size(), 2u);
}

TEST_F(LogTest, PercentFromAClientIsNotFormattedAgain) {
  open();
  ferrynet::log_line('i', "ident %s@%s:%d\n", "%s%n%x", "10.0.0.1", 7);
  EXPECT_EQ(messages(), std::vector<std::string>{"ident %s%n%x@10.0.0.1:7\n"});
}

TEST_F(LogTest, LongMessageIsCutTo1023AndLosesItsLineEnd) {
  open();
  std::string longer(1500, 'x');
  ferrynet::log_line('i', "%s\n", longer.c_str());
  ferrynet::log_line('i', "next\n");
  std::string text = read_file(path_);
  size_t body = text.find("] ") + 2;
  EXPECT_EQ(text.substr(body, 1024), std::string(1023, 'x') + "[") << "the next stamp follows at once";
  EXPECT_NE(text.find("] next\n"), std::string::npos);
}

TEST_F(LogTest, LogcleanEmptiesOtherwiseAppends) {
  core_test::write_file(path_, "old run\n");
  open();
  ferrynet::log_line('i', "second\n");
  ferrynet::close_log();
  EXPECT_EQ(read_file(path_).rfind("old run\n", 0), 0u);
  ferrynet::config().logclean = 1;
  open();
  ferrynet::log_line('i', "third\n");
  EXPECT_EQ(messages(), std::vector<std::string>{"third\n"});
}

TEST_F(LogTest, OpenWithoutPathUsesTheWorkingDirectoryAndEmptyPathFails) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  int rc = ferrynet::open_log(nullptr);
  ferrynet::log_line('i', "default\n");
  ferrynet::close_log();
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(read_file(path_).find("default\n"), std::string::npos);
  EXPECT_EQ(ferrynet::open_log(""), 1);
}

TEST_F(LogTest, AfterCloseNothingReachesTheFile) {
  open();
  EXPECT_EQ(ferrynet::close_log(), 0);
  ferrynet::log_line('e', "too late\n");
  EXPECT_EQ(ferrynet::close_log(), 0);
  EXPECT_EQ(read_file(path_), "");
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  open();
  constexpr int kThreads = 8, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) ferrynet::log_line('r', "thread %d line %d %s\n", t, i, "padding-padding");
    });
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = messages();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::string& m : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(m.c_str(), "thread %d line %d", &t, &i), 2) << m;
    ASSERT_TRUE(t >= 0 && t < kThreads) << m;
    EXPECT_EQ(m, "thread " + std::to_string(t) + " line " + std::to_string(next[t]) + " padding-padding\n");
    ++next[t];
  }
}

}  // namespace
