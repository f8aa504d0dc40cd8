// The merged SITE WHO table, compared line for line with what the client receives.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ferrynet/rewrite/reply_merge.h"
#include "tests/rewrite/rewrite_test_support.h"

namespace {

using rewrite_test::fill;
using rewrite_test::LoggedIn;
using rewrite_test::pad_to;
using rewrite_test::run_on;
using rewrite_test::split_lines;

// A user line as a site writes it: the tag at column 50, the id from column 80.
std::string user(const std::string& tag, const std::string& who, int id) {
  return pad_to(pad_to("200- | " + who, 50) + tag + " " + who + " is busy", 80) + std::to_string(id) + "\r\n";
}
// What the client sees of it: columns 0 to 79.
std::string shown(const std::string& user_line) { return user_line.substr(0, 80) + "\r\n"; }

std::string right(const std::string& s, size_t width) { return std::string(width - s.size(), ' ') + s; }

std::string totals(const std::string& up, const std::string& down) {
  return "200- | Total upload speed:" + right(up, 11) + "K/s | Total download speed:" + right(down, 11) + "K/s |\r\n";
}

std::string online(int n) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "200- | %3d User(s) Currently Online%44s|\r\n", n, "");
  return buf;
}

const std::string kSeparator = "200- +" + std::string(70, '-') + "+\r\n";
const std::string kBelowTotals = "200- +" + std::string(70, '=') + "+\r\n";

struct WhoSite {
  std::string name;
  std::vector<std::string> users;
  std::string up = "0.0", down = "0.0";

  std::string header(int k) const { return "200- | " + name + " header " + std::to_string(k) + "\r\n"; }
  std::string closing(int k) const {
    return k == 0 ? "200- | " + name + " closing\r\n" : "200 " + name + " done.\r\n";
  }
  std::string text() const {
    std::string t = header(0) + header(1) + header(2);
    for (const auto& u : users) t += u;
    t += kSeparator + totals(up, down) + kBelowTotals;
    t += "200- | " + std::to_string(users.size()) + " users online on " + name + "\r\n";
    return t + closing(0) + closing(1);
  }
};

// Site 0's frame around the given user lines and totals, as the client must see it.
std::vector<std::string> expected(const WhoSite& s0, const std::vector<std::string>& users, const std::string& up,
                                  const std::string& down) {
  std::vector<std::string> out;
  for (int k = 0; k < 3; ++k) out.push_back(s0.header(k));
  for (const auto& u : users) out.push_back(shown(u));
  out.push_back(kSeparator);
  out.push_back(totals(up, down));
  out.push_back(kBelowTotals);
  out.push_back(online(static_cast<int>(users.size())));
  out.push_back(s0.closing(0));
  out.push_back(s0.closing(1));
  return out;
}

rewrite_test::Replies& buffer() {
  static rewrite_test::Replies rb;
  return rb;
}

rewrite_test::MergeRun merge(const std::vector<WhoSite>& sites) {
  std::vector<std::string> texts;
  for (const auto& s : sites) texts.push_back(s.text());
  fill(buffer(), texts);
  return run_on(ferrynet::who_merge, buffer());
}

TEST(WhoMergeLayout, OneSiteComesBackInItsOrderWithIdsCutAndOwnCount) {
  WhoSite a{"alpha",
            {user("IDLE", "carol", 31), user("UL: ", "alice", 12), user("DL: ", "bob", 7), user("xfer", "dave", 8)},
            "12.5",
            "3.7"};
  auto run = merge({a});
  EXPECT_EQ(run.result, ferrynet::ReplyResult::kAnswered);
  EXPECT_EQ(run.lines, expected(a, a.users, "12.5", "3.7"));
  EXPECT_EQ(buffer().slice[0].size(), 0) << "the whole reply is consumed";
}

TEST(WhoMergeLayout, IdleBeforeUploadDefersTheUploadToTheLastPass) {
  WhoSite a{"alpha", {user("IDLE", "a1", 1), user("UL: ", "a2", 2)}};
  WhoSite b{"beta", {user("UL: ", "b1", 3)}};
  auto run = merge({a, b});
  EXPECT_EQ(run.lines, expected(a, {b.users[0], a.users[0], a.users[1]}, "0.0", "0.0"));
}

TEST(WhoMergeLayout, DashesAtColumn50EndASitesUserLinesForEveryPass) {
  const std::string odd = user("----", "odd", 2);
  WhoSite a{"alpha", {user("UL: ", "a1", 1), odd, user("IDLE", "a3", 3)}};
  WhoSite b{"beta", {user("IDLE", "b1", 4)}};
  auto run = merge({a, b});
  // Site 0's dash line ends its users: its idle line after it is not taken in
  // pass 3, and the dash line is what the separator step sends.
  std::vector<std::string> want = {a.header(0), a.header(1), a.header(2), shown(a.users[0]), shown(b.users[0]), odd};
  ASSERT_GE(run.lines.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(run.lines.begin(), run.lines.begin() + want.size()), want);
  EXPECT_EQ(run.lines.back(), a.closing(1));
}

TEST(WhoMergeTotals, SpeedsAddUpWithTenthsCarriedAndEndAtTheirColumns) {
  WhoSite a{"alpha", {}, "10.9", "12.5"};
  WhoSite b{"beta", {}, "0.3", "3.7"};
  auto run = merge({a, b});
  ASSERT_EQ(run.lines.size(), 9u);
  EXPECT_EQ(run.lines[4], totals("11.2", "16.2"));
  EXPECT_EQ(run.lines[4].substr(33, 4), "11.2");
  EXPECT_EQ(run.lines[4].substr(71, 4), "16.2");
}

TEST(WhoMergeTotals, ThreeSitesSumIntoOneLineAndOddNumbersReadAsScanned) {
  // 0x10 reads as 16, 010 as 8: the numbers are read like "%i".
  WhoSite a{"alpha", {}, "1.5", "1.3"};
  WhoSite b{"beta", {}, "2.5", "010.2"};
  WhoSite c{"gamma", {}, "3.5", "0x10.1"};
  auto run = merge({a, b, c});
  ASSERT_EQ(run.lines.size(), 9u);
  EXPECT_EQ(run.lines[4], totals("7.5", "25.6"));
}

TEST(WhoMergeTotals, NumbersAfterAMismatchCountAsZero) {
  auto with_totals = [](const std::string& name, const std::string& line) {
    std::string text = WhoSite{name, {}}.text();
    const std::string plain = totals("0.0", "0.0");
    return text.replace(text.find(plain), plain.size(), line);
  };
  // Site 1 stops matching after its upload speed; site 2's capital letter matches nothing.
  fill(buffer(), {WhoSite{"alpha", {}, "4.2", "5.5"}.text(),
                  with_totals("beta", "200- | Total upload speed:        1.1K/s | Total dl speed:        9.9K/s |\r\n"),
                  with_totals("gamma", "200- | Total Upload speed:        7.7K/s | Total download speed:    7.7K/s |\r\n")});
  auto run = run_on(ferrynet::who_merge, buffer());
  ASSERT_EQ(run.lines.size(), 9u);
  EXPECT_EQ(run.lines[4], totals("5.3", "5.5"));
}

TEST(WhoMergeTotals, TotalsLineTooShortIsPaddedSoTheNumbersStillEndAtTheirColumns) {
  WhoSite a{"alpha", {}};
  std::string t = a.text();
  const std::string tl = totals("0.0", "0.0");
  t.replace(t.find(tl), tl.size(), "200- | Total upload speed:2.5K/s\r\n");
  fill(buffer(), {t});
  auto run = run_on(ferrynet::who_merge, buffer());
  ASSERT_EQ(run.lines.size(), 9u);
  std::string want = pad_to("200- | Total upload speed:2.5K/s", 37);
  want.replace(33, 4, " 2.5");
  want = pad_to(want, 72) + "0.0\r\n";
  EXPECT_EQ(run.lines[4], want);
}

TEST(WhoMergeHiding, DaemonsOwnSessionOnAnotherSiteIsHiddenAndNotCounted) {
  LoggedIn session(0, {500, 600});
  WhoSite a{"alpha", {user("UL: ", "me", 500), user("IDLE", "x", 600)}};
  WhoSite b{"beta", {user("UL: ", "me", 600), user("IDLE", "y", 500)}};
  auto run = merge({a, b});
  // On site 1 the id 600 is the daemon's extra session; 500 there is someone else.
  EXPECT_EQ(run.lines, expected(a, {a.users[0], a.users[1], b.users[1]}, "0.0", "0.0"));
}

TEST(WhoMergeHiding, HexadecimalIdIsReadAsScanned) {
  LoggedIn session(0, {1, 26});
  std::string hex = pad_to(pad_to("200- | me", 50) + "UL: ", 80) + "0x1a\r\n";
  WhoSite a{"alpha", {}};
  WhoSite b{"beta", {hex}};
  auto run = merge({a, b});
  EXPECT_EQ(run.lines, expected(a, {}, "0.0", "0.0"));
}

TEST(WhoMergeHiding, ShortLinesAndUnreadableIdsAreShown) {
  LoggedIn session(0, {0, 0});  // would hide an id read as 0 on site 1
  std::string short_line = "200- | " + std::string(43, ' ') + "UL: short\r\n";
  std::string no_id = pad_to(pad_to("200- | noid", 50) + "UL: ", 80) + "abc\r\n";
  WhoSite a{"alpha", {}};
  WhoSite b{"beta", {short_line, no_id}};
  auto run = merge({a, b});
  auto want = expected(a, {}, "0.0", "0.0");
  want.insert(want.begin() + 3, {short_line, no_id.substr(0, 80) + "\r\n"});
  want[want.size() - 3] = online(2);
  EXPECT_EQ(run.lines, want);
}

TEST(WhoMergeOddReplies, SiteRunningOutEarlyLeavesSite0sLinesUnchangedAndTheReplyEnded) {
  WhoSite a{"alpha", {user("UL: ", "a1", 1)}, "1.0", "2.0"};
  std::string short_b = "200- | beta header\r\n200 beta has nothing.\r\n";
  fill(buffer(), {a.text(), short_b});
  auto run = run_on(ferrynet::who_merge, buffer());
  // Header line 3 finds site 1 without a line: from there site 0's lines go out as they are.
  std::vector<std::string> want = split_lines(a.text());
  EXPECT_EQ(run.lines, want);
  EXPECT_EQ(buffer().slice[0].size(), 0);
  EXPECT_EQ(buffer().slice[1].size(), 0);
}

TEST(WhoMergeOddReplies, OneLineReplyIsPassedOnAsItIs) {
  fill(buffer(), {"200 Nobody here.\r\n"});
  auto run = run_on(ferrynet::who_merge, buffer());
  EXPECT_EQ(run.output, "200 Nobody here.\r\n");
}

TEST(WhoMergeOddReplies, ReplyWithoutFinalLineIsEndedByTheDaemon) {
  fill(buffer(), {"200-one\r\n200-two\r\n"});
  auto run = run_on(ferrynet::who_merge, buffer());
  EXPECT_EQ(run.output, "200-one\r\n200-two\r\n200 Command Successful.\r\n");
}

TEST(WhoMergeOddReplies, ExtraClosingLinesOfSite0StillReachTheClientAndOthersAreUsedUp) {
  WhoSite a{"alpha", {}};
  std::string ta = a.text();
  ta.insert(ta.find(a.closing(1)), "200- | one more\r\n");
  std::string tb = WhoSite{"beta", {}}.text();
  tb.insert(tb.find("200 beta"), "200- | beta extra\r\n");
  fill(buffer(), {ta, tb + "451 next reply\r\n"});
  auto run = run_on(ferrynet::who_merge, buffer());
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines[run.lines.size() - 2], "200- | one more\r\n");
  EXPECT_EQ(run.lines.back(), a.closing(1));
  EXPECT_EQ(buffer().slice[1].text(), "451 next reply\r\n") << "only this reply is taken from a slice";
}

}  // namespace
