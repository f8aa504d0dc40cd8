#include "blurbread/disk_search.h"

#include <gtest/gtest.h>

#include <string>

#include "blurbread/blurbread.h"
#include "blurbread/pattern_match.h"

namespace {

int32_t find(const std::string& compacted) {
  return blurbread::find_disk_count(compacted.data(), compacted.size());
}

// The index of the pattern that gives the count, so a case cannot pass
// through some other pattern by accident.
int winning_pattern(const std::string& text) {
  for (size_t pos = 0; pos < text.size(); ++pos) {
    for (int i = 0; i < strings; ++i) {
      int32_t count = 0;
      if (blurbread::match_at(search[i], text.data(), text.size(), pos, &count) && count != 0)
        return i;
    }
  }
  return -1;
}

TEST(DiskSearch, NotationsOfTheTableGiveTheirCounts) {
  struct Case {
    const char* text;
    int32_t count;
    int pattern;
  };
  const Case cases[] = {
      {"[01/12]", 12, 0},       {"(01/12)", 12, 1},      {"[001/123]", 123, 2},
      {"(001/123)", 123, 3},    {"[1/5]", 5, 4},          {"(1/5)", 5, 5},
      {"[disk:01/03]", 3, 6},   {"o1/o5", 5, 7},          {"disks[02/15", 15, 8},
      {" 1/4 ", 4, 9},          {" 01/12x", 12, 10},      {"x01/12 ", 12, 11},
      {"[01/5]", 5, 12},        {": x1/12x", 12, 13},    {"xx/07", 7, 14},
      {"<01/05>", 5, 15},       {"[xx/12]", 12, 0},       {"[oo/ 9]", 9, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find(c.text), c.count) << c.text;
    EXPECT_EQ(winning_pattern(c.text), c.pattern) << c.text;
  }
}

TEST(DiskSearch, AZeroCountIsNoNotationAndTheSearchGoesOn) {
  EXPECT_EQ(find("[01/00] xx/07"), 7);
  EXPECT_EQ(find("[01/ ] [1/3]"), 3);
  EXPECT_EQ(find("[01/00]"), 0);
  EXPECT_EQ(find("(000/000)"), 0);
}

TEST(DiskSearch, TheEarliestPositionWinsOverTableOrder) {
  // Pattern 14 is late in the table but starts first.
  EXPECT_EQ(find("xx/07 [01/12]"), 7);
  EXPECT_EQ(find("<01/05> (1/9)"), 5);
}

TEST(DiskSearch, AtOnePositionTheEarlierPatternWins) {
  const char* order[] = {"a#", "a##", "a###"};
  const char* reversed[] = {"a###", "a##", "a#"};
  const std::string text = "a123";
  EXPECT_EQ(blurbread::find_disk_count(text.data(), text.size(), order, 3), 1);
  EXPECT_EQ(blurbread::find_disk_count(text.data(), text.size(), reversed, 3), 123);
  // A zero count at one position lets the next pattern there have its turn.
  const char* zero_first[] = {"a#", "a##"};
  EXPECT_EQ(blurbread::find_disk_count("a05", 3, zero_first, 2), 5);
}

TEST(DiskSearch, TheAmpersandElementRejectsItsCharacter) {
  EXPECT_EQ(find("q 01/12/"), 0);
  EXPECT_EQ(find("q 01/12/ "), 0);
  EXPECT_EQ(find("q 01/12-"), 12);
}

TEST(DiskSearch, ANotationEndingAtTheLastByteIsFoundOneRunningPastItIsNot) {
  EXPECT_EQ(find("abc[01/12]"), 12);
  // Pattern 10 would need one byte more than there is.
  EXPECT_EQ(find("abc 01/12"), 0);
  const std::string longer = "abc 01/12-";
  EXPECT_EQ(blurbread::find_disk_count(longer.data(), longer.size() - 1), 0);
  const char* single[] = {"#"};
  EXPECT_EQ(blurbread::find_disk_count("ab5", 3, single, 1), 5);
  EXPECT_EQ(find("nothing to see here"), 0);
  EXPECT_EQ(find(""), 0);
}

}  // namespace
