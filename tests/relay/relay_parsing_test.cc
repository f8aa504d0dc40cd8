// The relay's text handling: paths, session ids, feature lists, table matching.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ferrynet/relay/feature_filter.h"
#include "ferrynet/relay/login_handlers.h"
#include "ferrynet/relay/owed_replies.h"
#include "ferrynet/relay/relay_loop.h"
#include "ferrynet/relay/sections.h"
#include "ferrynet/relay/telnet_strip.h"

namespace ferrynet {
namespace {

std::string resolved(const char* cwd, const char* arg) {
  char c[kDirField];
  char a[kDirField];
  std::snprintf(c, sizeof c, "%s", cwd);
  std::snprintf(a, sizeof a, "%s", arg);
  if (!resolve(c, sizeof c, a, sizeof a)) return "<too long>";
  return a;
}

TEST(Paths, ResolveAgainstTheWorkingDirectory) {
  EXPECT_EQ(resolved("/", "vcd"), "/vcd");
  EXPECT_EQ(resolved("/VCD/a", ".."), "/VCD");
  EXPECT_EQ(resolved("/VCD", ".."), "/");
  EXPECT_EQ(resolved("/GAMES/x", "../../DOX/./y"), "/DOX/y");
  EXPECT_EQ(resolved("/", "//GAMES//"), "/GAMES");
  EXPECT_EQ(resolved("/", "\\APPS"), "/\\APPS");
  EXPECT_EQ(resolved("/", "/../.."), "/");
  EXPECT_EQ(resolved("/GAMES", ""), "/GAMES");
  EXPECT_EQ(resolved("//GAMES/./x//", "y"), "/GAMES/x/y");
}

TEST(Paths, NormaliseRelativeAndEmptyResults) {
  char p[kDirField] = "a/../..";
  ASSERT_TRUE(normalise(p, sizeof p));
  EXPECT_STREQ(p, "");
  std::strcpy(p, "\\x/./y/");
  ASSERT_TRUE(normalise(p, sizeof p));
  EXPECT_STREQ(p, "/\\x/y");
}

TEST(Paths, TargetsThatDoNotFitAreRefused) {
  std::string deep(200, 'd');
  char cwd[kDirField];
  std::snprintf(cwd, sizeof cwd, "/%s", deep.c_str());
  char arg[kDirField];
  std::snprintf(arg, sizeof arg, "%s", std::string(100, 'e').c_str());
  EXPECT_FALSE(resolve(cwd, sizeof cwd, arg, sizeof arg));
  EXPECT_EQ(std::string(arg), std::string(100, 'e'));  // left as it was
}

struct TestSlice {
  Slice s;
  explicit TestSlice(const char* text) { s.assign(text); }
};

TEST(SessionIds, TwoLineAnswerGivesIdAndDisappears) {
  TestSlice s("230-Welcome\r\n230 In.\r\n200- 412\r\n200 Command Successful.\r\n");
  EXPECT_EQ(take_session_id(s.s), 412);
  EXPECT_EQ(s.s.text(), "230-Welcome\r\n230 In.\r\n");
  TestSlice hex("230 In.\r\n200- 0x1f\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(hex.s), 31);
  TestSlice oct("230 In.\r\n200- 017\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(oct.s), 15);
}

TEST(SessionIds, OtherAnswersAreRemovedWithoutAnId) {
  TestSlice refused("230 In.\r\n500 Unknown command.\r\n");
  EXPECT_EQ(take_session_id(refused.s), -1);
  EXPECT_EQ(refused.s.text(), "230 In.\r\n");
  TestSlice three("230 In.\r\n200-a 1\r\n200-b 2\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(three.s), -1);
  EXPECT_EQ(three.s.text(), "230 In.\r\n");
  TestSlice unreadable("230 In.\r\n200-PID: 9\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(unreadable.s), -1);
  EXPECT_EQ(unreadable.s.text(), "230 In.\r\n");
}

TEST(SessionIds, MissingOrUnfinishedAnswersLeaveTheSlice) {
  TestSlice none("230 In.\r\n");
  EXPECT_EQ(take_session_id(none.s), -1);
  EXPECT_EQ(none.s.text(), "230 In.\r\n");
  TestSlice partial("230 In.\r\n200- 5\r\n");
  EXPECT_EQ(take_session_id(partial.s), -1);
  EXPECT_EQ(partial.s.text(), "230 In.\r\n200- 5\r\n");
  TestSlice no_login("530 No.\r\n");
  EXPECT_EQ(take_session_id(no_login.s), -1);
  // A full slice without any line end stays inside its bounds.
  TestSlice full("");
  full.s.assign(std::string(kSliceSize - 1, '2'));
  EXPECT_EQ(take_session_id(full.s), -1);
}

TEST(Features, HiddenLinesRemovedOthersKept) {
  TestSlice s("211-Features:\r\n AUTH TLS\r\n MLST size*;\r\n SIZE\r\n TLS\r\n PBSZ\r\n211 End\r\nleft");
  filter_feature_lines(s.s, false);
  EXPECT_EQ(s.s.text(), "211-Features:\r\n MLST size*;\r\n SIZE\r\n211 End\r\nleft");
  filter_feature_lines(s.s, true);
  EXPECT_EQ(s.s.text(), "211-Features:\r\n SIZE\r\n211 End\r\nleft");
  TestSlice single("211 No features.\r\n");
  filter_feature_lines(single.s, true);
  EXPECT_EQ(single.s.text(), "211 No features.\r\n");
}

TEST(Tables, PrefixAndWholeNamesIgnoreCase) {
  const ClientCommandRow* r = match_command("site who\r");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->name, "SITE WHO");
  // Each line is matched by its own text, whatever came before it in the read.
  ASSERT_NE(match_command("PWD\r"), nullptr);
  EXPECT_STREQ(match_command("PWD")->name, "PWD");
  EXPECT_EQ(match_command("PWDX\r"), nullptr);
  EXPECT_EQ(match_command("LISTX"), nullptr);
  EXPECT_STREQ(match_command("DELE file\r")->name, "DELE ");
  EXPECT_STREQ(match_command("cwd /x")->name, "CWD ");
  EXPECT_EQ(match_reply(230, "|PASS")->name, std::string("|PASS"));
  EXPECT_EQ(match_reply(230, "PASS secret")->name, std::string("PASS "));
  EXPECT_EQ(match_reply(230, "||PASS"), nullptr);
  EXPECT_EQ(match_reply(200, "SITE STATINFO x")->name, std::string("SITE STATINFO "));
  EXPECT_EQ(match_reply(250, "CDUP")->name, std::string("CDUP"));
  EXPECT_EQ(match_reply(550, "CWD /x"), nullptr);
}

TEST(Replies, CompleteWhenTheLastLineIsFinal) {
  EXPECT_TRUE(TestSlice("230-a\r\n230 b\r\n").s.ends_in_complete_reply());
  EXPECT_FALSE(TestSlice("230-a\r\n230 b").s.ends_in_complete_reply());
  EXPECT_FALSE(TestSlice("230-a\r\n").s.ends_in_complete_reply());
  EXPECT_FALSE(TestSlice("").s.ends_in_complete_reply());
  EXPECT_TRUE(TestSlice("200 ok\n").s.ends_in_complete_reply());
}

TEST(OwedReplies, KeepAliveAnswerAndAbortedTransferAreUsedUpAndTheRestKept) {
  Slice slice;
  // The NOOP's answer arrives in two reads, the next command's reply behind it.
  slice.assign("200-still");
  EXPECT_EQ(use_up_owed(slice, Owed::kOneReply), Owed::kOneReply);
  EXPECT_EQ(slice.text(), "200-still");
  slice.assign("200-still\r\n200 ok\r\n250 CWD done\r\n");
  EXPECT_EQ(use_up_owed(slice, Owed::kOneReply), Owed::kNone);
  EXPECT_EQ(slice.text(), "250 CWD done\r\n");
  // An aborted transfer: its 150, 426 and 226 all go, up to the NOOP's 200.
  slice.assign("150 Opening\r\n426 Aborted\r\n226 Abort done\r\n");
  EXPECT_EQ(use_up_owed(slice, Owed::kThroughNoop), Owed::kThroughNoop);
  EXPECT_TRUE(slice.empty());
  slice.assign("200 NOOP ok\r\n257 \"/\"\r\n");
  EXPECT_EQ(use_up_owed(slice, Owed::kThroughNoop), Owed::kNone);
  EXPECT_EQ(slice.text(), "257 \"/\"\r\n");
  // A line that fills the slice without an end is dropped, not kept.
  slice.assign(std::string(Slice::kCapacity, 'x'));
  EXPECT_EQ(use_up_owed(slice, Owed::kOneReply), Owed::kOneReply);
  EXPECT_TRUE(slice.empty());
}

TEST(Replies, WholeLinesAndFinalLinesOfALongReply) {
  Slice slice;
  slice.assign("257-a\r\n257-b\r\n257-c");
  EXPECT_EQ(slice.whole_lines_length(), 14);
  EXPECT_FALSE(slice.holds_final_line());
  slice.assign("257-a\r\n257 end\r\n150 x");
  EXPECT_TRUE(slice.holds_final_line());
  slice.assign("no line end");
  EXPECT_EQ(slice.whole_lines_length(), 0);
}

// What clients put before ABOR, cut anywhere between reads, leaves the line alone.
TEST(Telnet, CommandsAreTakenOutAcrossReadsAndADoubledIacStays) {
  const std::string sent = std::string("\xff\xf4\xff\xf2" "AB\xff\xfb\x01OR\r\n") +
                           "\xff\xfa\x18\x01\xff\xff\xff\xf0" "RETR \xff\xff.bin\r\n";
  for (size_t cut = 0; cut <= sent.size(); ++cut) {
    TelnetStrip t;
    std::string a = sent.substr(0, cut), b = sent.substr(cut);
    a.resize(t.strip(a.data(), a.size()));
    b.resize(t.strip(b.data(), b.size()));
    EXPECT_EQ(a + b, "ABOR\r\nRETR \xff.bin\r\n") << "cut at " << cut;
  }
  // A subnegotiation that never ends gives the stream back after its bound.
  std::string endless = "\xff\xfa" + std::string(300, 'x') + "NOOP\r\n";
  endless.resize(TelnetStrip().strip(endless.data(), endless.size()));
  EXPECT_EQ(endless.substr(endless.size() - 6), "NOOP\r\n");
  EXPECT_LT(endless.size(), 300u);
}

}  // namespace
}  // namespace ferrynet
