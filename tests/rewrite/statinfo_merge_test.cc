// The merged SITE STATINFO lines as the client receives them.
#include <gtest/gtest.h>

#include <string>

#include "ferrynet/rewrite/reply_merge.h"
#include "tests/rewrite/rewrite_test_support.h"

namespace {

using rewrite_test::fill;
using rewrite_test::run_on;

rewrite_test::Replies rb;
const std::string kEnd = "200 Command Successful.\r\n";

TEST(StatinfoMerge, OneSiteComesBackWithPlainCountsAndTheDaemonsClosingLine) {
  fill(rb, {"200-a,b,x,0012\r\n200-c,d,y,7 files\r\n200 STATINFO done\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.result, ferrynet::ReplyResult::kDrop);
  EXPECT_EQ(run.output, "200-a,b,x,10\r\n200-c,d,y,7\r\n" + kEnd);
  EXPECT_EQ(rb.slice[0].text(), "200 STATINFO done\r\n") << "the site's closing line is left for the relay";
}

TEST(StatinfoMerge, MergedLinesEndInCrLfWhateverEndTheSitesUsed) {
  fill(rb, {"200-a,b,c,1\n200 ok\n", "200-a,b,c,2\r\n200-d,e,f,3\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,b,c,3\r\n200-d,e,f,3\r\n" + kEnd);
}

TEST(StatinfoMerge, KeysMergeAcrossSitesInOrderOfFirstAppearance) {
  fill(rb, {"200-s0,f0,x,3\r\n200-s0,f0,y,4\r\n200 ok\r\n", "200-s1,f1,y,10\r\n200-s1,f1,z,1\r\n200 ok\r\n",
            "200-s2,f2,z,0x10\r\n200-s2,f2,w,010\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-s0,f0,x,3\r\n200-s0,f0,y,14\r\n200-s1,f1,z,17\r\n200-s2,f2,w,8\r\n" + kEnd);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rb.slice[i].text(), "200 ok\r\n");
}

TEST(StatinfoMerge, Site0sDuplicateKeysStayTwoLinesAndLaterSitesAddToTheFirst) {
  fill(rb, {"200-a,1,k,1\r\n200-b,2,k,2\r\n200 ok\r\n", "200-c,3,k,5\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,1,k,6\r\n200-b,2,k,2\r\n" + kEnd);
}

TEST(StatinfoMerge, KeysCompareExactly) {
  fill(rb, {"200-a,1,Key,1\r\n200 ok\r\n", "200-b,2,key,2\r\n200-b,2,Key ,4\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,1,Key,1\r\n200-b,2,key,2\r\n200-b,2,Key ,4\r\n" + kEnd);
}

TEST(StatinfoMerge, SiteWithOnlyItsClosingLineAddsNothing) {
  fill(rb, {"200 ok\r\n", "200-a,b,c,1\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,b,c,1\r\n" + kEnd);
}

TEST(StatinfoMerge, MoreThanTwoHundredKeysAreAllMergedAndSent) {
  std::string s0, s1, want;
  for (int k = 0; k < 300; ++k) {
    s0 += "200-f,g,key" + std::to_string(k) + "," + std::to_string(k) + "\r\n";
    s1 += "200-h,i,key" + std::to_string(k + 150) + ",1\r\n";
  }
  for (int k = 0; k < 450; ++k)
    want += (k < 300 ? "200-f,g,key" : "200-h,i,key") + std::to_string(k) + "," +
            std::to_string((k < 300 ? k : 0) + (k >= 150 ? 1 : 0)) + "\r\n";
  fill(rb, {s0 + "200 ok\r\n", s1 + "200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, want + kEnd);
}

TEST(StatinfoMerge, LinesWithFewerFieldsReadMissingFieldsAsEmptyAndCountZero) {
  fill(rb, {"200-only,two\r\n200-a,b,c\r\n200 ok\r\n", "200-x,y,c,5,extra\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-only,two,,0\r\n200-a,b,c,5\r\n" + kEnd);
}

TEST(StatinfoMerge, SliceWithoutClosingLineIsUsedToItsEnd) {
  fill(rb, {"200-a,b,c,1\r\n200-d,e,f,2\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,b,c,1\r\n200-d,e,f,2\r\n" + kEnd);
  EXPECT_TRUE(rb.slice[0].empty());
}

TEST(StatinfoMerge, CountsBeyond32BitsAreClamped) {
  fill(rb, {"200-a,b,c,2147483647\r\n200 ok\r\n", "200-a,b,c,2147483647\r\n200 ok\r\n",
            "200-a,b,d,-99999999999\r\n200 ok\r\n"});
  auto run = run_on(ferrynet::statinfo_merge, rb);
  EXPECT_EQ(run.output, "200-a,b,c,2147483647\r\n200-a,b,d,-2147483648\r\n" + kEnd);
}

}  // namespace
