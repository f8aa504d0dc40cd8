// copysfv_file: the cleaned SFV, the SFV data file and the release type.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lapbook/release_type.h"
#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

const std::string kHeader = "; sfv raped by tallyrace on the mighty Outpost\r\n; \r\n";

class CopySfvTest : public ::testing::Test {
 protected:
  // Cleans text uploaded as "up.sfv"; the size given is the text's own
  // unless a test says otherwise.
  void clean(const std::string& text, int64_t size = -1) {
    write_file("up.sfv", text);
    copysfv_file("up.sfv", "sfvdata", size < 0 ? static_cast<int64_t>(text.size()) : size);
  }
  ScratchDir dir;
};

TEST_F(CopySfvTest, CleansALineToLowerCaseAndStoresItsEntry) {
  clean("Foo.RAR 1A2B3C4D\r\n");
  EXPECT_EQ(read_file("up.sfv"), kHeader + "foo.rar 1a2b3c4d\r\n");
  EXPECT_EQ(read_file("sfvdata"), sfv_data_bytes(1, {{"foo.rar", 0x1a2b3c4d}}));
  EXPECT_FALSE(exists(".tmpsfv"));
  EXPECT_EQ(outside().hexstrtodec_calls, (std::vector<std::string>{"1a2b3c4d"}));
  EXPECT_EQ(outside().strcomp_calls, (std::vector<std::string>{"rar"}));
  EXPECT_EQ(outside().missing_calls, (std::vector<std::pair<std::string, int>>{{"foo.rar", 7}}));
}

TEST_F(CopySfvTest, DropsLinesWithoutABlankAndEightCrcCharacters) {
  clean("; comment 12345678\n"
        "\n"
        "seven.rar 1234567\n"
        "nine.rar 123456789\n"
        "noblank.rar12345678\n"
        " 12345678\n"
        "zero.rar 00000000\n"
        "nothex.rar 1234567g\n"
        "ok.rar 12345678 \t\r\n"
        "two words.r01 abcdef01\r\n"
        "last.r02 0000000f");
  EXPECT_EQ(read_file("up.sfv"),
            kHeader + "ok.rar 12345678\r\ntwo words.r01 abcdef01\r\nlast.r02 0000000f\r\n");
  EXPECT_EQ(read_file("sfvdata"),
            sfv_data_bytes(1, {{"ok.rar", 0x12345678}, {"two words.r01", 0xabcdef01}, {"last.r02", 0xf}}));
}

TEST_F(CopySfvTest, DropsIgnoredExtensionsAndRepeatedNames) {
  outside().present = {"a.rar"};
  clean("A.rar 11111111\nx.JPG 22222222\nx.nfo 33333333\nsfv 44444444\nnoext 55555555\na.RAR 66666666\n");
  EXPECT_EQ(read_file("up.sfv"), kHeader + "a.rar 11111111\r\nnoext 55555555\r\n");
  EXPECT_EQ(outside().strcomp_calls, (std::vector<std::string>{"rar", "jpg", "nfo", "sfv", "noext", "rar"}));
  EXPECT_EQ(outside().missing_calls, (std::vector<std::pair<std::string, int>>{{"noext", 5}}))
      << "a present file gets no marker";
}

TEST_F(CopySfvTest, AZeroByteInALineDropsIt) {
  clean(std::string("a\0b.rar 12345678\nc.rar 1234\0" "678\nd.rar 12345678\n", 47));
  EXPECT_EQ(read_file("up.sfv"), kHeader + "d.rar 12345678\r\n");
}

TEST_F(CopySfvTest, HoldsAsManyNamesAsThereAre) {
  std::string text, cleaned;
  std::vector<std::pair<std::string, uint32_t>> entries;
  for (int i = 0; i < 300; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 1, 'f').append(".rar");
    text += name + " 0000abcd\n";
    cleaned += name + " 0000abcd\r\n";
    entries.emplace_back(name, 0xabcd);
  }
  text += "f250.rar 0000abcd\nf0.rar 0000abcd\n";
  clean(text);
  EXPECT_EQ(read_file("up.sfv"), kHeader + cleaned);
  EXPECT_EQ(read_file("sfvdata"), sfv_data_bytes(1, entries));
}

TEST_F(CopySfvTest, ReadsOnlyTheGivenSizeOrAsFarAsTheFileGoes) {
  clean("a.rar 12345678\nb.rar 12345678\n", 15);
  EXPECT_EQ(read_file("up.sfv"), kHeader + "a.rar 12345678\r\n");
  clean("a.rar 12345678\n", 1 << 30);
  EXPECT_EQ(read_file("up.sfv"), kHeader + "a.rar 12345678\r\n");
  clean("a.rar 12345678\n", 0);
  EXPECT_EQ(read_file("up.sfv"), kHeader);
  EXPECT_EQ(read_file("sfvdata"), sfv_data_bytes(1, {}));
}

TEST_F(CopySfvTest, ReleaseTypeFollowsTheExtensions) {
  clean("a.mp3 11111111\nb.mp3 22222222\nc.nfo 33333333\nd.txt 44444444\n");
  EXPECT_EQ(read_file("sfvdata").substr(0, 2), le16(3));
  clean("a.avi 11111111\nb.mkv 22222222\nc.rar 33333333\n");
  EXPECT_EQ(read_file("sfvdata").substr(0, 2), le16(4));
  clean("a.txt 11111111\nb.txt 22222222\nc.rar 33333333\n");
  EXPECT_EQ(read_file("sfvdata").substr(0, 2), le16(2));
}

TEST_F(CopySfvTest, AnUploadThatCannotBeOpenedChangesNothing) {
  copysfv_file("absent.sfv", "sfvdata", 10);
  EXPECT_FALSE(exists(".tmpsfv"));
  EXPECT_FALSE(exists("sfvdata"));
  EXPECT_FALSE(exists("absent.sfv"));
}

TEST_F(CopySfvTest, AFailedRenameKeepsTheUpload) {
  // A directory in the upload's place cannot be renamed over.
  ASSERT_EQ(::mkdir("up.sfv", 0755), 0);
  write_file("up.sfv/inside", "kept");
  copysfv_file("up.sfv", "sfvdata", 10);
  EXPECT_EQ(read_file("up.sfv/inside"), "kept");
  EXPECT_FALSE(exists(".tmpsfv"));
}

TEST_F(CopySfvTest, AnUploadNamedLikeTheWorkFileIsReadFirst) {
  write_file(".tmpsfv", "a.rar 12345678\n");
  copysfv_file(".tmpsfv", "sfvdata", 15);
  EXPECT_EQ(read_file(".tmpsfv"), kHeader + "a.rar 12345678\r\n");
}

TEST(ReleaseTypeTest, LargestFamilyWinsWhenAtLeastTheOthers) {
  using lapbook::ExtensionCounts;
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{5, 5, 0, 1}), 1);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{0, 3, 3, 3}), 3);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{2, 0, 0, 3}), 2);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{0, 0, 0, 0}), 1);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{1, 2, 3, 3}), 4);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{1, 2, 3, 4}), 2);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{4, 2, 4, 0}), 1);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{1, 3, 2, 4}), 2);
  EXPECT_EQ(lapbook::choose_release_type(ExtensionCounts{1, 0, 2, 2}), 4);
}

}  // namespace
}  // namespace lapbook_test
