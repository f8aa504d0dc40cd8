#include "blurbread/pattern_match.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using blurbread::match_at;

// Matches at position 0 of `text`; -1 when the pattern does not match.
int32_t match(const char* pattern, const std::string& text) {
  int32_t count = -1;
  if (!match_at(pattern, text.data(), text.size(), 0, &count)) return -1;
  return count;
}

TEST(PatternElement, QuestionMarkTakesAnyCharacterEvenZero) {
  using namespace std::string_literals;
  EXPECT_EQ(match("a?b", "a b"), 0);
  EXPECT_EQ(match("a?b", "a\0b"s), 0);
  EXPECT_EQ(match("a?b", "a\xFF" "b"), 0);
  EXPECT_EQ(match("a?b", "ab"), -1);  // one element, one character
}

TEST(PatternElement, BangTakesDigitsAndLowerCaseOAndX) {
  for (const char* ok : {"0", "9", "o", "x"}) EXPECT_EQ(match("!", ok), 0) << ok;
  for (const char* bad : {"O", "X", "a", " ", "/"}) EXPECT_EQ(match("!", bad), -1) << bad;
}

TEST(PatternElement, HashTakesDigitsAndBlanksAndCapturesThem) {
  EXPECT_EQ(match("#", "7"), 7);
  EXPECT_EQ(match("##", "42"), 42);
  EXPECT_EQ(match("###", "999"), 999);
  EXPECT_EQ(match("#", " "), 0);
  for (const char* bad : {"\t", "o", "x", "a"}) EXPECT_EQ(match("#", bad), -1) << bad;
}

TEST(PatternElement, AmpersandTakesAnythingButTheNextCharacter) {
  EXPECT_EQ(match("&/", "a"), 0);
  EXPECT_EQ(match("&/", " "), 0);
  EXPECT_EQ(match("&/", "/"), -1);
  // "&#" is one element and captures nothing.
  EXPECT_EQ(match("&#1", "a1"), 0);
  EXPECT_EQ(match("&#1", "#1"), -1);
  EXPECT_EQ(blurbread::captured_elements("&#&##"), 1u);
}

TEST(PatternElement, OtherCharactersStandForThemselves) {
  EXPECT_EQ(match("[disk:", "[disk:"), 0);
  EXPECT_EQ(match("[disk:", "[DISK:"), -1);  // callers lower-case the text first
  EXPECT_EQ(match("a&", "a&"), 0);           // a trailing lone "&" is literal
  EXPECT_EQ(match("a&", "ab"), -1);
}

TEST(CapturedCount, SkipsLeadingBlanksAndStopsAtTheFirstBlankAfterADigit) {
  EXPECT_EQ(match("##", " 7"), 7);
  EXPECT_EQ(match("##", "7 "), 7);
  EXPECT_EQ(match("###", "1 2"), 1);
  EXPECT_EQ(match("###", "  5"), 5);
  EXPECT_EQ(match("###", "   "), 0);
  EXPECT_EQ(match("##", "00"), 0);
}

TEST(MatchBounds, APatternNeedingBytesPastTheLengthDoesNotMatch) {
  const char text[] = "[01/12]";
  int32_t count = -1;
  // The closing bracket is in memory but outside the length given.
  EXPECT_FALSE(match_at("[?!/##]", text, 6, 0, &count));
  EXPECT_TRUE(match_at("[?!/##]", text, 7, 0, &count));
  EXPECT_EQ(count, 12);
  EXPECT_FALSE(match_at("?", text, 7, 7, &count));
  EXPECT_TRUE(match_at("?", text, 7, 6, &count));
}

TEST(MatchBounds, MatchesAtTheGivenPosition) {
  const std::string text = "ab[01/12]";
  int32_t count = -1;
  EXPECT_FALSE(match_at("[?!/##]", text.data(), text.size(), 1, &count));
  EXPECT_TRUE(match_at("[?!/##]", text.data(), text.size(), 2, &count));
  EXPECT_EQ(count, 12);
}

}  // namespace
