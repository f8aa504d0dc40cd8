#include <gtest/gtest.h>

#include <string>

#include "blurbread/blurbread.h"

namespace {

// Runs removespaces on `input` inside a larger buffer filled with '@', and
// returns the whole buffer so tests see the terminator and what lies behind.
std::string compact(const std::string& input, size_t room = 8) {
  std::string buffer = input + std::string(room, '@');
  removespaces(buffer.data(), static_cast<int32_t>(input.size()));
  return buffer;
}

TEST(RemoveSpaces, EveryRunOfZeroBytesLineFeedsAndBlanksBecomesOneBlank) {
  using namespace std::string_literals;
  EXPECT_EQ(compact("a \n\0 \n b"s).substr(0, 4), "a b\0"s);
  EXPECT_EQ(compact("\n\nx"s).substr(0, 3), " x\0"s);
  EXPECT_EQ(compact("x\0\0\0"s).substr(0, 3), "x \0"s);
  EXPECT_EQ(compact("a b"s).substr(0, 4), "a b\0"s);
}

TEST(RemoveSpaces, CarriageReturnsAndTabsAreOrdinaryCharacters) {
  using namespace std::string_literals;
  EXPECT_EQ(compact("a\r\n\tb"s).substr(0, 5), "a\r \tb"s);
  EXPECT_EQ(compact("\t\t"s).substr(0, 3), "\t\t\0"s);
}

TEST(RemoveSpaces, LowerCasesAsciiLettersOnly) {
  using namespace std::string_literals;
  EXPECT_EQ(compact("DiSkS[02/15"s).substr(0, 12), "disks[02/15\0"s);
  // Bytes above 127 belong to whatever code page the file was written in.
  EXPECT_EQ(compact("\xC4\xD6Z"s).substr(0, 4), "\xC4\xD6z\0"s);
}

TEST(RemoveSpaces, BytesBehindTheTerminatorStayAsRead) {
  using namespace std::string_literals;
  // 7 bytes in, 4 out: index 4 holds the terminator, 5 and 6 are untouched,
  // and nothing past the count is written.
  EXPECT_EQ(compact("A   \nBC"s, 2), "a bc\0BC@@"s);
}

TEST(RemoveSpaces, WritesTheTerminatorOneByteAfterAnUncompactedText) {
  using namespace std::string_literals;
  EXPECT_EQ(compact("abc"s, 2), "abc\0@"s);
}

TEST(RemoveSpaces, ZeroCountOnlyTerminatesAndNegativeCountWritesNothing) {
  char buffer[4] = {'X', 'Y', 'Z', 'W'};
  removespaces(buffer, 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'Y');
  buffer[0] = 'X';
  removespaces(buffer, -1);
  EXPECT_EQ(std::string(buffer, 4), "XYZW");
  removespaces(nullptr, 3);  // must not crash
}

}  // namespace
