// The merged up- and download tops as the client receives them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ferrynet/rewrite/reply_merge.h"
#include "tests/rewrite/rewrite_test_support.h"

namespace {

using rewrite_test::fill;
using rewrite_test::pad_to;
using rewrite_test::run_on;

// A ranking line as a site writes it: name at 10, group at 23 (or one blank
// after a longer name), files at 47, megabytes at 54 up to "M", speed at 65 up to "K".
std::string user(int rank, const std::string& name, const std::string& group, long files, long mb, long speed) {
  char r[8];
  std::snprintf(r, sizeof r, "%02d", rank);
  std::string s = "200- [" + std::string(r) + "] " + name;
  s = pad_to(s + (s.size() >= 23 ? " " : ""), 23) + group;
  s = pad_to(s, 47) + std::to_string(files);
  s = pad_to(s, 54) + std::to_string(mb) + "MB";
  s = pad_to(s, 65) + std::to_string(speed) + "K/s |";
  return s + "\r\n";
}

// The line the daemon builds for one merged user.
std::string ranked(int rank, const std::string& name, const std::string& group, long files, long mb, long speed) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "200- | %.2i %-12s %.22s %7s %8sMB %6sK/s   |\r\n", rank, name.c_str(), group.c_str(),
                std::to_string(files).c_str(), std::to_string(mb).c_str(), std::to_string(speed).c_str());
  return buf;
}

std::string header(const std::string& site) { return "200- " + site + " top uploaders\r\n200- ----------\r\n"; }
std::string closing(const std::string& site) { return "200- `-- " + site + " --'\r\n200 " + site + " done.\r\n"; }

rewrite_test::Replies rb;

TEST(StatsMerge, OneSiteIsRebuiltWithRanksInItsOrder) {
  fill(rb, {header("alpha") + user(1, "zed", "STAFF", 10, 300, 50) + user(2, "amy", "iND", 4, 20, 99) +
            closing("alpha")});
  auto run = run_on(ferrynet::stats_merge, rb);
  EXPECT_EQ(run.result, ferrynet::ReplyResult::kDrop);
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "zed", "STAFF", 10, 300, 50) + ranked(2, "amy", "iND", 4, 20, 99) +
                            closing("alpha"));
  EXPECT_EQ(rb.slice[0].size(), 0);
}

TEST(StatsMerge, UserOnTwoSitesAddsFilesAndMegabytesAndAveragesSpeedByMegabytes) {
  fill(rb, {header("alpha") + user(1, "joe", "GRP", 10, 100, 50) + closing("alpha"),
            header("beta") + user(1, "joe", "OTHER", 5, 300, 150) + closing("beta")});
  auto run = run_on(ferrynet::stats_merge, rb);
  // (100 * 50 + 300 * 150) / 400 = 125, with site 0's group.
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "joe", "GRP", 15, 400, 125) + closing("alpha"));
}

TEST(StatsMerge, UsersOfLaterSitesFollowSite0sInOrderOfFirstAppearance) {
  fill(rb, {header("alpha") + user(1, "a", "G0", 1, 10, 1) + user(2, "b", "G0", 2, 20, 2) + closing("alpha"),
            header("beta") + user(1, "c", "G1", 3, 30, 3) + user(2, "a", "G1", 1, 10, 3) + closing("beta"),
            header("gamma") + user(1, "d", "G2", 4, 40, 4) + user(2, "c", "G2", 3, 30, 5) + closing("gamma")});
  auto run = run_on(ferrynet::stats_merge, rb, 0);
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "a", "G0", 2, 20, 2) + ranked(2, "b", "G0", 2, 20, 2) +
                            ranked(3, "c", "G1", 6, 60, 4) + ranked(4, "d", "G2", 4, 40, 4) + closing("alpha"));
}

TEST(StatsMerge, HeaderOfSite0AndClosingOfTheCurrentSiteOnly) {
  for (int current = 0; current < 3; ++current) {
    const char* names[] = {"alpha", "beta", "gamma"};
    fill(rb, {header("alpha") + user(1, "u", "G", 1, 1, 1) + closing("alpha"),
              header("beta") + user(1, "v", "G", 1, 1, 1) + closing("beta"),
              header("gamma") + closing("gamma")});
    auto run = run_on(ferrynet::stats_merge, rb, current);
    EXPECT_EQ(run.output, header("alpha") + ranked(1, "u", "G", 1, 1, 1) + ranked(2, "v", "G", 1, 1, 1) +
                              closing(names[current]))
        << "current site " << current;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rb.slice[i].size(), 0);
  }
}

TEST(StatsMerge, LongNamesWidenTheLineLongGroupsAreCutAndBothCompareWhole) {
  // The longest a site's columns allow: 13 characters of name, 23 of group.
  const std::string long_a = "thirteenchar1", long_b = "thirteenchar2";
  const std::string group = "ABCDEFGHIJKLMNOPQRSTUVW";
  fill(rb, {header("alpha") + user(1, long_a, group, 1, 10, 10) + closing("alpha"),
            header("beta") + user(1, long_b, "G", 2, 10, 20) + user(2, long_a, "G", 1, 10, 30) + closing("beta")});
  auto run = run_on(ferrynet::stats_merge, rb);
  ASSERT_EQ(run.lines.size(), 6u);
  EXPECT_EQ(run.lines[2], "200- | 01 thirteenchar1 ABCDEFGHIJKLMNOPQRSTUV       2       20MB     20K/s   |\r\n");
  EXPECT_EQ(run.lines[3], ranked(2, long_b, "G", 2, 10, 20));
}

TEST(StatsMerge, ZeroMegabytesGiveSpeedZeroAndWideNumbersAreComputedIn64BitsThenClamped) {
  const long mb = 999999999;
  fill(rb, {header("alpha") + user(1, "zero", "G", 1, 0, 500) + user(2, "big", "G", 1, mb, 2000000000) +
                closing("alpha"),
            header("beta") + user(1, "zero", "G", 1, 0, 700) + user(2, "big", "G", 1, mb, 1000000000) +
                closing("beta"),
            header("gamma") + user(1, "big", "G", 1, mb, 1500000000) + closing("gamma")});
  auto run = run_on(ferrynet::stats_merge, rb);
  ASSERT_EQ(run.lines.size(), 6u);
  EXPECT_EQ(run.lines[2], ranked(1, "zero", "G", 2, 0, 0));
  // Products near 2^61 average to 1.5e9; the megabytes pass 2^31 and are clamped.
  EXPECT_EQ(run.lines[3], ranked(2, "big", "G", 3, 2147483647, 1500000000));
}

TEST(StatsMerge, SiteWithoutUserLinesAddsNothing) {
  fill(rb, {header("alpha") + user(1, "u", "G", 1, 2, 3) + closing("alpha"), header("beta") + closing("beta")});
  auto run = run_on(ferrynet::stats_merge, rb);
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "u", "G", 1, 2, 3) + closing("alpha"));
}

TEST(StatsMerge, ShortAndUnreadableUserLinesStayInsideTheirLine) {
  fill(rb, {header("alpha") + "200- [01]\r\n" + pad_to("200- [02]  who", 23) + "GRP  x\r\n" + closing("alpha")});
  auto run = run_on(ferrynet::stats_merge, rb);
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "", "", 0, 0, 0) + ranked(2, "who", "GRP", 0, 0, 0) +
                            closing("alpha"));
}

TEST(StatsMerge, ReplyWithoutMarkersIsPassedOnWholeAndEndsOnce) {
  fill(rb, {"200-no table today\r\n200 nothing.\r\n", "200-b\r\n200- [01] x\r\n200 b.\r\n"});
  auto run = run_on(ferrynet::stats_merge, rb, 1);
  // Site 0's final line ends the reply: nothing after it may reach the client.
  EXPECT_EQ(run.output, "200-no table today\r\n200 nothing.\r\n");
}

TEST(StatsMerge, TableWithoutClosingLinesStillEnds) {
  fill(rb, {header("alpha") + user(1, "u", "G", 1, 2, 3) + "200 end\r\n"});
  auto run = run_on(ferrynet::stats_merge, rb);
  EXPECT_EQ(run.output, header("alpha") + ranked(1, "u", "G", 1, 2, 3) + "200 end\r\n");
}

}  // namespace
