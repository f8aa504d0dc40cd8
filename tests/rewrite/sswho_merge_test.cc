// The joined SITE SSWHO listing as the client receives it.
#include <gtest/gtest.h>

#include <string>

#include "ferrynet/rewrite/reply_merge.h"
#include "tests/rewrite/rewrite_test_support.h"

namespace {

using rewrite_test::fill;
using rewrite_test::LoggedIn;
using rewrite_test::run_on;

rewrite_test::Replies rb;

TEST(SswhoMerge, SitesWithOnlyTheirClosingLineGiveOnlyTheDaemonsLine) {
  fill(rb, {"200 ok\r\n", "200 fine\r\n", "200 yes\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  EXPECT_EQ(run.result, ferrynet::ReplyResult::kAnswered);
  EXPECT_EQ(run.output, "200 Command Successful.\r\n");
}

TEST(SswhoMerge, LinesComeInSiteOrderWithMarkerAndIdCutOff) {
  fill(rb, {"200-  alice  /incoming   -||-101\r\n200-  bob  idle-||-102\r\n200 Done\r\n",
            "200-  carol  /mp3  -||-  201\r\n200 Done\r\n", "200- dave -||-0x12d\r\n200 Done\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  EXPECT_EQ(run.output,
            "200-  alice  /incoming   \r\n"
            "200-  bob  idle\r\n"
            "200-  carol  /mp3  \r\n"
            "200- dave \r\n"
            "200 Command Successful.\r\n");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rb.slice[i].size(), 0) << "slice " << i;
}

TEST(SswhoMerge, DaemonsOwnSessionIsHiddenOnlyOnTheSitesItIsNotShownOn) {
  LoggedIn me(0, {300, 0x12d, 77});
  fill(rb, {"200- me -||-300\r\n200- you -||-301\r\n200 x\r\n",
            "200- me -||-0x12d\r\n200- other -||-300\r\n200 x\r\n", "200- me -||-0115\r\n200 x\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  // 0115 is octal 77: the same session on site 2, read as "%i" reads it.
  EXPECT_EQ(run.output, "200- me \r\n200- you \r\n200- other \r\n200 Command Successful.\r\n");
}

TEST(SswhoMerge, LineWithoutMarkerOrIdIsSentWithoutItsLineEnd) {
  LoggedIn me(1, {0, 0, 0});  // would hide an id read as 0 on site 0
  fill(rb, {"200- no marker here\r\n200- marker without id -||-\r\n200 x\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  EXPECT_EQ(run.output, "200- no marker here\r\n200- marker without id \r\n200 Command Successful.\r\n");
}

TEST(SswhoMerge, MarkerIsLookedForOnlyInItsOwnLine) {
  fill(rb, {"200- first\r\n200- second -||-5\r\n200 x\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  EXPECT_EQ(run.output, "200- first\r\n200- second \r\n200 Command Successful.\r\n");
}

TEST(SswhoMerge, SliceWithoutClosingLineIsWalkedToItsEnd) {
  fill(rb, {"200- a -||-1\r\n200- b -||-2\r\n200- tail without LF -||-3", "200 x\r\n"});
  auto run = run_on(ferrynet::sswho_merge, rb);
  EXPECT_EQ(run.output, "200- a \r\n200- b \r\n200- tail without LF \r\n200 Command Successful.\r\n");
  EXPECT_EQ(rb.slice[0].size(), 0);
}

}  // namespace
