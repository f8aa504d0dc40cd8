// The readers that every merge uses, checked against the C library's scanner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ferrynet/core/limits.h"

#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/speed_totals.h"

namespace {

using ferrynet::scan_int;

TEST(ScanInt, ReadsLikeTheScannersPercentIAndPercentD) {
  const char* inputs[] = {"12", "  -7x", "+5", "010", "0x1A", "0X1a", "08", "0", "  0x", "9z", "-0x10", "\t42"};
  for (const char* in : inputs) {
    for (int base : {0, 10}) {
      int want = 0;
      const int got_libc = std::sscanf(in, base == 0 ? "%i" : "%d", &want);
      int32_t got = -1;
      const size_t used = scan_int(in, base, &got);
      EXPECT_EQ(used > 0, got_libc == 1) << in << " base " << base;
      if (got_libc == 1) {
        EXPECT_EQ(got, want) << in << " base " << base;
      }
    }
  }
}

TEST(ScanInt, NothingToReadAndOutOfRange) {
  int32_t v = 5;
  EXPECT_EQ(scan_int("", 0, &v), 0u);
  EXPECT_EQ(scan_int("   ", 0, &v), 0u);
  EXPECT_EQ(scan_int("-", 10, &v), 0u);
  EXPECT_EQ(v, 5) << "a failed read leaves the value alone";
  EXPECT_EQ(scan_int("99999999999999999999999", 10, &v), 23u);
  EXPECT_EQ(v, 2147483647);
  EXPECT_EQ(scan_int("-0x8000000000", 0, &v), 13u);
  EXPECT_EQ(v, -2147483647 - 1);
}

TEST(ScanInt, StopsAtTheEndOfItsView) {
  const std::string text = "123456";
  int32_t v = 0;
  EXPECT_EQ(scan_int(std::string_view(text).substr(0, 3), 10, &v), 3u);
  EXPECT_EQ(v, 123);
}

TEST(SliceLines, YieldsOnlyTheFirstReplysCompleteLines) {
  static char slice[ferrynet::kSliceSize] = "200-a\r\n200 b\r\n200 c\r\n";
  ferrynet::SliceLines l(slice);
  std::string seen;
  for (; l.has_line(); l.next()) seen += std::string(l.content()) + "|";
  EXPECT_EQ(seen, "200-a|200 b|");
  EXPECT_EQ(l.consumed(), 14);
  static char partial[ferrynet::kSliceSize] = "200-a\n200 no end";
  ferrynet::SliceLines p(partial);
  p.next();
  EXPECT_FALSE(p.has_line());
  EXPECT_EQ(p.consumed(), 6);
}

TEST(SliceLines, FullSliceWithoutTerminatorStaysInside) {
  static char full[ferrynet::kSliceSize];
  std::memset(full, 'x', sizeof full);
  full[sizeof full - 1] = '\n';
  ferrynet::SliceLines l(std::string_view(full, sizeof full));
  ASSERT_TRUE(l.has_line());
  EXPECT_EQ(l.line().size(), sizeof full - 1);
}

TEST(SpeedTotals, FormatCarriesTenthsAndKeepsTheSignWhole) {
  EXPECT_EQ(ferrynet::format_speed(12 + 3, 5 + 7), "16.2");
  EXPECT_EQ(ferrynet::format_speed(0, 0), "0.0");
  EXPECT_EQ(ferrynet::format_speed(1, 25), "3.5");
  EXPECT_EQ(ferrynet::format_speed(-1, 3), "-0.7");
  EXPECT_EQ(ferrynet::format_speed(int64_t{3} * 2147483647, 0), "2147483647.0");
}

TEST(SpeedTotals, PlaceEndingAtNeverStartsBeforeColumnZero) {
  std::string line = "abcdef";
  ferrynet::place_ending_at(line, "12", 3);
  EXPECT_EQ(line, "ab12ef");
  ferrynet::place_ending_at(line, "123456789", 3);
  EXPECT_EQ(line, "6789ef");
  std::string short_line = "ab";
  ferrynet::place_ending_at(short_line, "9", 4);
  EXPECT_EQ(short_line, "ab  9");
}

}  // namespace
