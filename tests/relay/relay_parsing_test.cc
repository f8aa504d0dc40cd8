// The relay's text handling: paths, session ids, feature lists, table matching.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ferrynet/relay/feature_filter.h"
#include "ferrynet/relay/login_handlers.h"
#include "ferrynet/relay/relay_loop.h"
#include "ferrynet/relay/sections.h"
#include "ferrynet/relay/slice.h"

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

struct Slice {
  char text[kSliceSize] = {};
  explicit Slice(const char* s) { std::strncpy(text, s, sizeof text - 1); }
};

TEST(SessionIds, TwoLineAnswerGivesIdAndDisappears) {
  Slice s("230-Welcome\r\n230 In.\r\n200- 412\r\n200 Command Successful.\r\n");
  EXPECT_EQ(take_session_id(s.text), 412);
  EXPECT_STREQ(s.text, "230-Welcome\r\n230 In.\r\n");
  Slice hex("230 In.\r\n200- 0x1f\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(hex.text), 31);
  Slice oct("230 In.\r\n200- 017\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(oct.text), 15);
}

TEST(SessionIds, OtherAnswersAreRemovedWithoutAnId) {
  Slice refused("230 In.\r\n500 Unknown command.\r\n");
  EXPECT_EQ(take_session_id(refused.text), -1);
  EXPECT_STREQ(refused.text, "230 In.\r\n");
  Slice three("230 In.\r\n200-a 1\r\n200-b 2\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(three.text), -1);
  EXPECT_STREQ(three.text, "230 In.\r\n");
  Slice unreadable("230 In.\r\n200-PID: 9\r\n200 ok\r\n");
  EXPECT_EQ(take_session_id(unreadable.text), -1);
  EXPECT_STREQ(unreadable.text, "230 In.\r\n");
}

TEST(SessionIds, MissingOrUnfinishedAnswersLeaveTheSlice) {
  Slice none("230 In.\r\n");
  EXPECT_EQ(take_session_id(none.text), -1);
  EXPECT_STREQ(none.text, "230 In.\r\n");
  Slice partial("230 In.\r\n200- 5\r\n");
  EXPECT_EQ(take_session_id(partial.text), -1);
  EXPECT_STREQ(partial.text, "230 In.\r\n200- 5\r\n");
  Slice no_login("530 No.\r\n");
  EXPECT_EQ(take_session_id(no_login.text), -1);
  // A full slice without any line end stays inside its bounds.
  Slice full("");
  std::memset(full.text, '2', kSliceSize - 1);
  EXPECT_EQ(take_session_id(full.text), -1);
}

TEST(Features, HiddenLinesRemovedOthersKept) {
  Slice s("211-Features:\r\n AUTH TLS\r\n MLST size*;\r\n SIZE\r\n TLS\r\n PBSZ\r\n211 End\r\nleft");
  filter_feature_lines(s.text, false);
  EXPECT_STREQ(s.text, "211-Features:\r\n MLST size*;\r\n SIZE\r\n211 End\r\nleft");
  filter_feature_lines(s.text, true);
  EXPECT_STREQ(s.text, "211-Features:\r\n SIZE\r\n211 End\r\nleft");
  Slice single("211 No features.\r\n");
  filter_feature_lines(single.text, true);
  EXPECT_STREQ(single.text, "211 No features.\r\n");
}

TEST(Tables, PrefixAndWholeNamesIgnoreCase) {
  const ClientCommandRow* r = match_command("site who", "site who");
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->name, "SITE WHO");
  // A whole name is matched against the first line of the read, not this line.
  // Whole names are compared with the first line of the read: a PWD that came
  // behind a CWD matches no row and goes to the current site.
  EXPECT_EQ(match_command("PWD", "CWD /VCD"), nullptr);
  ASSERT_NE(match_command("PWD", "PWD"), nullptr);
  EXPECT_EQ(match_command("LISTX", "LISTX"), nullptr);
  ASSERT_NE(match_command("cwd /x", "cwd /x"), nullptr);
  EXPECT_EQ(match_reply(230, "|PASS")->name, std::string("|PASS"));
  EXPECT_EQ(match_reply(230, "PASS secret")->name, std::string("PASS "));
  EXPECT_EQ(match_reply(230, "||PASS"), nullptr);
  EXPECT_EQ(match_reply(200, "SITE STATINFO x")->name, std::string("SITE STATINFO "));
  EXPECT_EQ(match_reply(250, "CDUP")->name, std::string("CDUP"));
  EXPECT_EQ(match_reply(550, "CWD /x"), nullptr);
}

TEST(Replies, CompleteWhenTheLastLineIsFinal) {
  EXPECT_TRUE(slice_ends_in_complete_reply("230-a\r\n230 b\r\n"));
  EXPECT_FALSE(slice_ends_in_complete_reply("230-a\r\n230 b"));
  EXPECT_FALSE(slice_ends_in_complete_reply("230-a\r\n"));
  EXPECT_FALSE(slice_ends_in_complete_reply(""));
  EXPECT_TRUE(slice_ends_in_complete_reply("200 ok\n"));
}

}  // namespace
}  // namespace ferrynet
