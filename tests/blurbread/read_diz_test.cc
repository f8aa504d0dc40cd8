#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "blurbread/blurbread.h"

namespace {

constexpr size_t kPiece = 4096;  // bytes read_diz reads at a time

class ReadDiz : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/blurbread.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    for (const std::string& p : made_) unlink(p.c_str());
    rmdir(dir_.c_str());
  }

  std::string write(const std::string& contents) {
    std::string path = dir_ + "/" + std::to_string(made_.size()) + ".diz";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
    made_.push_back(path);
    return path;
  }
  int32_t read(const std::string& contents) { return read_diz(write(contents).c_str()); }

  std::string dir_;
  std::vector<std::string> made_;
};

TEST_F(ReadDiz, FindsTheNotationsOfTypicalDescriptions) {
  EXPECT_EQ(read("Some.Release-GRP\r\n  Disks[02/15  \r\n"), 15);
  EXPECT_EQ(read("DISKS[02/15"), 15);
  EXPECT_EQ(read("cool game\n[01/12]\n"), 12);
  EXPECT_EQ(read("cool game (1/5)"), 5);
  EXPECT_EQ(read("<01/05>"), 5);
  EXPECT_EQ(read("XX/07"), 7);
  EXPECT_EQ(read("[Disk:01/03]"), 3);
  EXPECT_EQ(read("[01/00] then xx/07"), 7);
}

TEST_F(ReadDiz, BlanksAndLineEndsAreCompactedBeforeMatching) {
  // No pattern matches at the bracket once the gap is one blank, but the
  // blank starts pattern 10's notation.
  EXPECT_EQ(read("[ \n\n   \n01/12]"), 12);
  // Zero bytes count as blanks too.
  EXPECT_EQ(read(std::string("x\0\0" "1/4\n\n", 8)), 4);
  // Tabs are not blanks.
  EXPECT_EQ(read("x\t1/4\t"), 0);
}

TEST_F(ReadDiz, TheEarliestNotationInTheFileWins) {
  EXPECT_EQ(read("xx/07 and later [01/12]"), 7);
  EXPECT_EQ(read("[01/12] and later xx/07"), 12);
}

TEST_F(ReadDiz, AFileWithoutANotationYieldsZero) {
  EXPECT_EQ(read(""), 0);
  EXPECT_EQ(read("just some text, half of it\nnothing [a/b]\n"), 0);
  EXPECT_EQ(read("[01/00] (00/00) <00/00>"), 0);
}

TEST_F(ReadDiz, EachPieceIsSearchedOnItsOwn) {
  // "[01/12]" straddles the first and second read.
  std::string split(kPiece - 4, 'a');
  split += "[01/12]";
  EXPECT_EQ(read(split), 0);
  // The pieces are counted in bytes read, not in compacted text: blanks
  // shrink to one but still push the notation over the border.
  std::string blanks(kPiece - 4, ' ');
  blanks += "[01/12]";
  EXPECT_EQ(read(blanks), 0);
  // Wholly in the second piece, or ending on the last byte of the first.
  EXPECT_EQ(read(std::string(kPiece, 'a') + "[01/12]"), 12);
  EXPECT_EQ(read(std::string(kPiece - 7, 'a') + "[01/12]"), 12);
  EXPECT_EQ(read(std::string(3 * kPiece + 100, 'b') + "(1/9)"), 9);
}

TEST_F(ReadDiz, ANotationRunningPastTheBytesReadIsNotFound) {
  // Pattern 10 needs one character after the count.
  EXPECT_EQ(read("game 01/12"), 0);
  EXPECT_EQ(read("game 01/12-"), 12);
  EXPECT_EQ(read(std::string(kPiece - 6, 'a') + " 01/12" + "-"), 0);
}

TEST_F(ReadDiz, TheTerminatorAfterCompactedTextIsSearchedLikeAnyByte) {
  // Compaction frees a byte at the end, where its zero byte now stands, and
  // "&/" takes it.
  EXPECT_EQ(read("game  01/12"), 12);
}

TEST_F(ReadDiz, UnreadableFilesYieldZero) {
  EXPECT_EQ(read_diz((dir_ + "/missing.diz").c_str()), 0);
  EXPECT_EQ(read_diz(dir_.c_str()), 0);  // a directory
  EXPECT_EQ(read_diz(nullptr), 0);
  if (geteuid() != 0) {
    const std::string path = write("[01/12]");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(read_diz(path.c_str()), 0);
  }
}

TEST_F(ReadDiz, AFifoWithoutWriterDoesNotBlock) {
  const std::string path = dir_ + "/fifo.diz";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  made_.push_back(path);
  EXPECT_EQ(read_diz(path.c_str()), 0);
}

TEST_F(ReadDiz, ClosesTheFileOnEveryReturn) {
  const std::string found = write("[01/12]");
  const std::string none = write("nothing");
  int before = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(before);
  for (int i = 0; i < 50; ++i) {
    read_diz(found.c_str());
    read_diz(none.c_str());
  }
  int after = open("/dev/null", O_RDONLY | O_CLOEXEC);
  close(after);
  EXPECT_EQ(after, before);
}

}  // namespace
