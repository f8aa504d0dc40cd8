// The configuration file: its syntax, the value parsers and the validity test.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ferrynet/core/config.h"
#include "ferrynet/core/limits.h"
#include "tests/core/core_test_support.h"

using ferrynet::Config;

namespace {

constexpr const char* kUsable =
    "bouncemodeup x\nbouncemodedown a\nip 127.0.0.1\nconnip *\nport 2121\nsiteip 127.0.0.1\nsiteport 21\n";

struct Outcome {
  int rc = -1;
  std::string err;
  std::unique_ptr<Config> cfg = std::make_unique<Config>();
};

Outcome read_text(const std::string& text) {
  core_test::ScratchDir dir;
  std::string path = dir.file("f.conf");
  core_test::write_file(path, text);
  Outcome o;
  testing::internal::CaptureStderr();
  o.rc = ferrynet::read_config(path.c_str(), *o.cfg);
  o.err = testing::internal::GetCapturedStderr();
  return o;
}

TEST(ConfigSyntax, KeyMustMatchAWholeKeyword) {
  Outcome o = read_text("log e\nlogfile /tmp/x\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->log, "e");
  EXPECT_EQ(o.cfg->logfile, "/tmp/x");
  EXPECT_FALSE(o.cfg->logclean);
  for (const char* line : {"logc yes", "LOG e", "porting 21", "port\r 21", "speed 1"}) {
    Outcome bad = read_text(std::string(line) + "\n");
    EXPECT_EQ(bad.rc, 1) << line;
    EXPECT_EQ(bad.err, "[001]: " + std::string(line) + ": unknown option\n");
  }
}

TEST(ConfigSyntax, IndentedKeyIsUnknownAndShownWithItsBlank) {
  Outcome o = read_text(" port 21\n");
  EXPECT_EQ(o.rc, 1);
  EXPECT_EQ(o.err, "[001]:  port 21: unknown option\n");
}

TEST(ConfigSyntax, LineNumbersCountCommentsAndBlankLines) {
  Outcome o = read_text("# one\n\n   \n\t# four\nport 21\n#\n\n\n\nbogus value\nport 22\n");
  EXPECT_EQ(o.rc, 1);
  EXPECT_EQ(o.err, "[010]: bogus value: unknown option\n");
  EXPECT_EQ(o.cfg->port, 21u) << "nothing after the error is applied";
}

TEST(ConfigSyntax, LongLineIsReadInPiecesOf253) {
  // A comment of 300 characters: its tail arrives as a second line of its own.
  std::string comment = "#" + std::string(252, 'a') + "tail after the cut";
  Outcome o = read_text(comment + "\n");
  EXPECT_EQ(o.rc, 1);
  EXPECT_EQ(o.err, "[002]: tail after the cut: unknown option\n");
}

TEST(ConfigSyntax, ValueRunsToTheEndOfTheLineAndKeepsCarriageReturn) {
  Outcome o = read_text("bouncemodeup  \t abc # not a comment \nip 1.2.3.4\r\nport 21\r\nconnip\t*\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->bouncemodeup, "abc # not a comment ");
  EXPECT_EQ(o.cfg->ip, "1.2.3.4\r");
  EXPECT_EQ(o.cfg->port, 21u);
  EXPECT_EQ(o.cfg->connip, "*");

  Outcome cr = read_text("fork yes\r\n");
  EXPECT_EQ(cr.rc, 1);
  EXPECT_EQ(cr.err, "[001]: fork: 1\n");
}

TEST(ConfigSyntax, MissingValues) {
  Outcome port = read_text("port\n");
  EXPECT_EQ(port.err, "[001]: port: 1\n");
  Outcome blank = read_text("port   \n");
  EXPECT_EQ(blank.err, "[001]: port: 1\n");
  Outcome ip = read_text("ip\nbouncemodeup  \n");
  ASSERT_EQ(ip.rc, 0);
  EXPECT_EQ(ip.cfg->ip, "") << "present although empty";
  EXPECT_EQ(ip.cfg->bouncemodeup, "");
  EXPECT_FALSE(ip.cfg->connip.has_value());
  EXPECT_EQ(read_text("traffic\ntraffic anything at all\n").rc, 0);
}

TEST(ConfigSyntax, BangStopsReadingAndLaterValuesReplaceEarlierOnes) {
  Outcome o = read_text("ip 1.1.1.1\nip 2.2.2.2\n!\nbogus\nip 3.3.3.3\n");
  EXPECT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->ip, "2.2.2.2");
}

TEST(ConfigSyntax, UnreadableFileIsReported) {
  Outcome none;
  testing::internal::CaptureStderr();
  none.rc = ferrynet::read_config("/nonexistent/ferrynet.conf", *none.cfg);
  none.err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(none.rc, 1);
  EXPECT_EQ(none.err, "cannot open configuration file /nonexistent/ferrynet.conf: No such file or directory\n");

  // A directory opens but cannot be read; that must not pass as an empty file.
  core_test::ScratchDir dir;
  Config cfg;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ferrynet::read_config(dir.path().c_str(), cfg), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot open configuration file " + dir.path() + ": Is a directory\n");
}

TEST(ConfigSyntax, DieEndsTheProcessWithStatusOne) {
  core_test::ScratchDir dir;
  std::string path = dir.file("die.conf");
  core_test::write_file(path, "die\nport 21\n");
  EXPECT_EXIT(
      {
        Config cfg;
        ferrynet::read_config(path.c_str(), cfg);
      },
      testing::ExitedWithCode(1), "");
}

TEST(ConfigValues, YesNo) {
  struct Case {
    const char* value;
    int rc;
    int field;
  } cases[] = {{"yes", 0, 1}, {"YES", 0, 1}, {"No", 0, 0}, {"1", 0, 1}, {"1abc", 0, 1}, {"0", 0, 0},
               {"0yes", 0, 0}, {"yes ", 1, 7}, {"y", 1, 7}, {"", 1, 7}, {nullptr, 1, 7}};
  for (const Case& c : cases) {
    int field = 7;
    EXPECT_EQ(ferrynet::parse_yesno(c.value, field), c.rc) << (c.value ? c.value : "(none)");
    EXPECT_EQ(field, c.field) << (c.value ? c.value : "(none)");
  }
}

TEST(ConfigValues, Number) {
  struct Case {
    const char* value;
    int rc;
    uint32_t field;
  } cases[] = {{"21", 0, 21},          {"+21", 0, 21},          {"21abc", 0, 21},
               {"\v21", 0, 21},        {"65557", 0, 65557},     {"4294967295", 0, UINT32_MAX},
               {"99999999999999999999", 0, UINT32_MAX},          {"abc", 1, 7},
               {"-", 1, 7},            {"", 1, 7},              {nullptr, 1, 7},
               // A minus sign would wrap into a limit of days or years.
               {"-5", 1, 7},           {" -1", 1, 7},           {"-0", 1, 7}};
  for (const Case& c : cases) {
    uint32_t field = 7;
    EXPECT_EQ(ferrynet::parse_number(c.value, field), c.rc) << (c.value ? c.value : "(none)");
    EXPECT_EQ(field, c.field) << (c.value ? c.value : "(none)");
  }
}

TEST(ConfigValues, TlsKeys) {
  Outcome o = read_text("clienttls Force\nsitetls yes\nsitetlsca /etc/ca.pem\ntlscertfile c.pem\ntlskeyfile k.pem\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->clienttls, ferrynet::kClientTlsForce);
  EXPECT_EQ(o.cfg->sitetls, 1);
  EXPECT_EQ(o.cfg->sitetlsca, "/etc/ca.pem");
  EXPECT_EQ(o.cfg->tlscertfile, "c.pem");
  EXPECT_EQ(o.cfg->tlskeyfile, "k.pem");
  EXPECT_EQ(read_text("clienttls implicit\n").cfg->clienttls, ferrynet::kClientTlsImplicit);
  EXPECT_EQ(read_text("clienttls yes\nclienttls no\n").cfg->clienttls, ferrynet::kClientTlsNo);
  for (const char* bad : {"clienttls yes \n", "clienttls 1\n", "clienttls\n", "sitetls force\n"}) {
    Outcome b = read_text(std::string("# tls\n") + bad);
    EXPECT_EQ(b.rc, 1) << bad;
    EXPECT_EQ(b.err, "[002]: " + std::string(bad, std::strcspn(bad, " \n")) + ": 1\n");
  }
}

TEST(ConfigValues, SitedownCloseByDefaultOrDegrade) {
  EXPECT_EQ(read_text("port 21\n").cfg->sitedown, ferrynet::kSiteDownClose);
  EXPECT_EQ(read_text("sitedown degrade\n").cfg->sitedown, ferrynet::kSiteDownDegrade);
  EXPECT_EQ(read_text("sitedown degrade\nsitedown close\n").cfg->sitedown, ferrynet::kSiteDownClose);
  for (const char* bad : {"sitedown\n", "sitedown yes\n", "sitedown degrade \n"}) {
    Outcome b = read_text(bad);
    EXPECT_EQ(b.rc, 1) << bad;
    EXPECT_EQ(b.err, "[001]: sitedown: 1\n");
  }
}

TEST(ConfigValues, LoadBalancerAndPassivePortKeys) {
  Outcome o = read_text("proxyfrom 10.0.0.0/8 ::1\npasvaddress 203.0.113.5\npasvports 50000-50100\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->proxyfrom.size(), 2u);
  EXPECT_EQ(o.cfg->pasvaddress, "203.0.113.5");
  EXPECT_EQ(o.cfg->pasvport_low, 50000);
  EXPECT_EQ(o.cfg->pasvport_high, 50100);
  Outcome one = read_text("pasvports 2121\n");
  EXPECT_EQ(one.cfg->pasvport_low, 2121);
  EXPECT_EQ(one.cfg->pasvport_high, 2121);
  for (const char* bad : {"pasvports 50100-50000\n", "pasvports 0-10\n", "pasvports 1-65536\n", "pasvports 5-\n",
                          "pasvports -5\n", "pasvports 5-6x\n", "pasvports\n", "pasvaddress ftp.example.org\n",
                          "pasvaddress ::1\n", "pasvaddress\n", "proxyfrom 10.0.0.0/33\n", "proxyfrom\n",
                          "proxyfrom 10.0.0.1 lb.example.org\n"}) {
    Outcome b = read_text(std::string("# entry points\n") + bad);
    EXPECT_EQ(b.rc, 1) << bad;
    EXPECT_EQ(b.err, "[002]: " + std::string(bad, std::strcspn(bad, " \n")) + ": 1\n");
  }
}

TEST(ConfigValues, SiteTrustKeys) {
  Outcome o = read_text("sitetlsnames - ftp.example.org  -\nsitepasvaddress reply\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.cfg->sitetlsnames, (std::vector<std::string>{"", "ftp.example.org", ""}));
  EXPECT_EQ(o.cfg->sitepasvaddress, ferrynet::kSitePasvReply);
  EXPECT_EQ(read_text("ip x\n").cfg->sitepasvaddress, ferrynet::kSitePasvControl);
  for (const char* bad : {"sitetlsnames a b c d\n", "sitetlsnames\n", "sitepasvaddress any\n"})
    EXPECT_EQ(read_text(bad).rc, 1) << bad;
}

TEST(ConfigValues, CycleipCountsBlankSeparatedEntries) {
  struct Case {
    const char* line;
    int sitecount;
  } cases[] = {{"cycleip a:1 b:2 c:3\n", 3}, {"cycleip\n", 1}, {"cycleip a:1  b:2\n", 3},
               {"cycleip a:1\tb:2\n", 1},   {"cycleip a:1 b:2\n", 2}};
  for (const Case& c : cases) {
    Outcome o = read_text(c.line);
    ASSERT_EQ(o.rc, 0) << c.line;
    EXPECT_EQ(o.cfg->sitecount, c.sitecount) << c.line;
  }
  Outcome four = read_text("# more sites than a client can hold\ncycleip a:1 b:2 c:3 d:4\n");
  EXPECT_EQ(four.rc, 1);
  EXPECT_EQ(four.err, "[002]: cycleip: 1\n");
}

TEST(ConfigValues, CyclemodeResetsThePosition) {
  Outcome o = read_text("cyclemode l\n");
  ASSERT_EQ(o.rc, 0);
  {
    ferrynet::MutexLock hold(o.cfg->cycle_lock);
    EXPECT_EQ(o.cfg->cycleindex, -1);
  }
  EXPECT_EQ(o.cfg->cyclemode, "l");
}

TEST(ConfigValidity, RequiredKeysAndSiteChoice) {
  EXPECT_EQ(ferrynet::check_config(*read_text("").cfg), 0);
  EXPECT_EQ(ferrynet::check_config(*read_text("# only\n\n# comments\n").cfg), 0);
  Outcome ok = read_text(kUsable);
  ASSERT_EQ(ok.rc, 0);
  EXPECT_EQ(ferrynet::check_config(*ok.cfg), 1);
  EXPECT_EQ(ok.cfg->sitecount, 1);

  const std::string base = kUsable;
  for (const char* key : {"bouncemodeup", "bouncemodedown", "ip ", "connip", "siteip"}) {
    std::string text;
    std::istringstream in(base);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(key, 0) != 0) text += line + "\n";
    Outcome o = read_text(text);
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(ferrynet::check_config(*o.cfg), 0) << "without " << key;
  }
  EXPECT_EQ(ferrynet::check_config(*read_text(base + "cycleip a:1\n").cfg), 0);
  EXPECT_EQ(ferrynet::check_config(*read_text(base + "bouncemodedown ac\n").cfg), 0);
  EXPECT_EQ(ferrynet::check_config(*read_text(base + "port 65536\n").cfg), 0);
  Outcome wrapped = read_text(base + "port 65557\n");
  EXPECT_EQ(ferrynet::check_config(*wrapped.cfg), 1);
  EXPECT_EQ(wrapped.cfg->port & 0xffff, 21u);
}

TEST(ConfigValidity, CycleipWithoutSiteip) {
  Outcome o = read_text("bouncemodeup x\nbouncemodedown ca\nip *\nconnip *\nport 2121\ncycleip a:1 b:2\ncyclemode l\n");
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(ferrynet::check_config(*o.cfg), 1);
  EXPECT_EQ(o.cfg->sitecount, 2);
  EXPECT_EQ(o.cfg->maxclientsperip, 0u) << "no per-address limit unless one is set";
}

// What check_config says on standard error; "" when the record is usable.
std::string refusal_of(const std::string& text) {
  Outcome o = read_text(text);
  EXPECT_EQ(o.rc, 0) << o.err;
  testing::internal::CaptureStderr();
  const int usable = ferrynet::check_config(*o.cfg);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(usable == 1, err.empty()) << text;
  return usable ? "" : err;
}

TEST(ConfigValidity, ValuesThatWouldServeNoOneAreNamed) {
  const std::string head = "bouncemodeup x\nbouncemodedown c\nip *\nport 2121\n";
  const std::string cycled = head + "connip *\ncyclemode l\n";
  struct Case {
    std::string text, err;
  } cases[] = {
      {cycled + "cycleip h:21 [::1]:2121 k:65535\r\n", ""},
      {cycled + "cycleip h:21 \n", "cycleip \"h:21 \" entry 2 is empty (entries are host:port, one blank apart)\n"},
      {cycled + "cycleip h k:22\n", "cycleip \"h k:22\" entry 1 \"h\" is not host:port with a port of 1 to 65535\n"},
      {cycled + "cycleip h:99999\n", "cycleip \"h:99999\" entry 1 \"h:99999\" is not host:port with a port of 1 to 65535\n"},
      {head + "connip *\ncycleip h:21\n", "cyclemode missing: cycleip needs l, r or t\n"},
      {head + "connip *\ncycleip h:21\ncyclemode x\n", "cyclemode \"x\" names none of l, r and t\n"},
      {cycled + "cycleip h:21\nbouncemodedown a\n", "bouncemodedown \"a\" has no c, without which cycleip is not used\n"},
      {cycled + "cycleip h:21\nconnip 999.1.1.1\n", "connip \"999.1.1.1\" is neither * nor an address of this host\n"},
      {cycled + "cycleip h:21\nconnip 127.0.0.1\n", ""},
      {cycled + "cycleip h:21 k:22\nsection MOVIES 2\nsection TV 3\n", "section \"TV 3\" names site 3 of 2\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal_of(c.text), c.err) << c.text;
}

TEST(ConfigValues, SectionLines) {
  Outcome o = read_text("section MOVIES 2\nsection\ttv\t 1 \r\n");
  ASSERT_EQ(o.rc, 0) << o.err;
  ASSERT_EQ(o.cfg->sections.size(), 2u);
  EXPECT_EQ((o.cfg->sections[0].name + o.cfg->sections[1].name), "MOVIEStv");
  EXPECT_EQ((o.cfg->sections[0].site * 10 + o.cfg->sections[1].site), 10) << "numbered from 1 in the file, slots from 0";
  // Malformed, out of 1 to 3, or a name given twice (case ignored): the line is named.
  for (const char* bad : {"section", "section MOVIES", "section MOVIES 0", "section MOVIES 4", "section MOVIES 1x",
                          "section MOVIES 1 2", "section A/B 1", "section .. 1", "section other 2"}) {
    Outcome b = read_text(std::string("# sections\nsection OTHER 1\n") + bad + "\n");
    EXPECT_EQ(b.err, "[003]: section: 1\n") << bad;
  }
  std::string many;
  for (int k = 0; k < ferrynet::kMaxSections; ++k) many += "section S" + std::to_string(k) + " 1\n";
  EXPECT_EQ(read_text(many).rc, 0);
  EXPECT_EQ(read_text(many + "section ONE.TOO.MANY 1\n").err, "[065]: section: 1\n");
}

TEST(ConfigSample, ShippedSampleIsUsable) {
  std::string path = std::string(FERRYNET_SOURCE_DIR) + "/contrib/ferrynet.conf";
  Config cfg;
  testing::internal::CaptureStderr();
  int rc = ferrynet::read_config(path.c_str(), cfg);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(rc, 0) << err;
  EXPECT_EQ(ferrynet::check_config(cfg), 1);
  EXPECT_GE(cfg.sitecount, 1);
}

}  // namespace
