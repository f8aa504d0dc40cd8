// The record format and its reader against bytes built by hand (damage is
// covered where each routine meets it), and the set of SFV names.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "lapbook/name_set.h"
#include "lapbook/race_record_format.h"
#include "lapbook/race_record_reader.h"
#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

namespace rr = lapbook::race_record;

TEST(RaceRecordFormatTest, EncodesEveryFieldAtItsOffset) {
  rr::Tail t;
  t.status = 253;
  t.crc32 = 0xdeadbeef;
  std::memcpy(t.user_name, "alice", 5);
  std::memcpy(t.group_name, "racers", 6);
  t.file_size = 0x01020304;
  t.transfer_time = 0x0a0b0c0d;
  t.info1 = 7;
  t.info2 = 0xffffffff;
  uint8_t out[rr::record_size(3)];
  rr::encode_record("ab", 3, t, out);
  std::string want = race_bytes({"ab", 253, 0xdeadbeef, "alice", "racers", 0x01020304, 0x0a0b0c0d, 7, 0xffffffff});
  ASSERT_EQ(sizeof out, want.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), want);

  rr::Tail back = rr::decode_tail(out + 4 + 3);
  EXPECT_EQ(back.status, 253);
  EXPECT_EQ(back.crc32, 0xdeadbeefu);
  EXPECT_EQ(std::string(back.group_name, 24), field24("racers"));
  EXPECT_EQ(back.transfer_time, 0x0a0b0c0du);
  EXPECT_EQ(back.info2, 0xffffffffu);
}

class ReaderTest : public ::testing::Test {
 protected:
  int open_with(const std::string& bytes) {
    write_file("f", bytes);
    fd_ = ::open("f", O_RDONLY);
    return fd_;
  }
  ~ReaderTest() override {
    if (fd_ >= 0) ::close(fd_);
  }
  ScratchDir dir;
  int fd_ = -1;
};

TEST_F(ReaderTest, RaceReaderGivesEachRecordAndWhereItsStatusStands) {
  std::string a = race_bytes({"one", 1, 11}), b = race_bytes({"three", 2, 33});
  lapbook::RaceRecordReader reader(open_with(a + b + "\x01\x00"));
  lapbook::RaceRecord rec;
  ASSERT_EQ(reader.next(&rec), lapbook::ReadResult::kRecord);
  EXPECT_STREQ(rec.name, "one");
  EXPECT_EQ(rec.name_length, 4u);
  EXPECT_EQ(rec.tail.crc32, 11u);
  EXPECT_EQ(rec.status_offset, 8u);
  ASSERT_EQ(reader.next(&rec), lapbook::ReadResult::kRecord);
  EXPECT_STREQ(rec.name, "three");
  EXPECT_EQ(rec.status_offset, a.size() + 4 + 6);
  EXPECT_EQ(reader.next(&rec), lapbook::ReadResult::kEnd) << "a partial length field is the end";
}

TEST(NameSetTest, KeepsTheFirstOfEachNameThroughGrowth) {
  lapbook::NameSet set;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 5000; ++i) {
      std::string name = "name" + std::to_string(i);
      EXPECT_EQ(set.insert(name.data(), name.size()),
                round == 0 ? lapbook::NameSet::Insert::kAdded : lapbook::NameSet::Insert::kPresent);
    }
  }
  EXPECT_EQ(set.size(), 5000u);
  EXPECT_EQ(set.insert("name1\0x", 7), lapbook::NameSet::Insert::kAdded) << "lengths count, not zero bytes";
  EXPECT_EQ(set.insert("name", 4), lapbook::NameSet::Insert::kAdded) << "a prefix is another name";
}

}  // namespace
}  // namespace lapbook_test
