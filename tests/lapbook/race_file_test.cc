// writerace_file, readrace_file and clear_file_file on the race data file.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

class RaceFileTest : public ::testing::Test {
 protected:
  void write(const char* name, uint32_t crc, uint8_t status, uint32_t size = 0, uint32_t time = 0) {
    r.state.file_name = name;
    r.state.file_size = size;
    r.state.transfer_time = time;
    writerace_file(&r.locations, &r.state, crc, status);
  }
  ScratchDir dir;
  ReleaseFiles r;
  char user[24] = "alice";
};

TEST_F(RaceFileTest, WriteAppendsTheFieldsInFileOrderLittleEndian) {
  r.state.user_name = user;
  std::memcpy(r.state.group_name, "grp\0junk-after-zero-kept", 24);
  r.state.info1 = 0x01020304;
  r.state.info2 = 0xa0b0c0d0;
  write("x", 0x1234abcd, 2, 0x00c0ffee, 77);
  Rec expected{"x", 2, 0x1234abcd, "alice", "", 0x00c0ffee, 77, 0x01020304, 0xa0b0c0d0};
  std::string bytes = read_file("racedata");
  ASSERT_EQ(bytes.size(), 75u) << "a one-character name makes a 75-byte record";
  std::string want = race_bytes(expected);
  want.replace(4 + 2 + 5 + 24, 24, std::string("grp\0junk-after-zero-kept", 24));
  EXPECT_EQ(bytes, want);
}

TEST_F(RaceFileTest, RewritingANameLeavesTheOldRecordDeletedAndReportsOnlyTheNew) {
  r.state.user_name = user;
  write("a.rar", 1, 1, 100, 10);
  write("a.rar", 2, 2, 200, 20);
  EXPECT_EQ(statuses_of(read_file("racedata")), (std::vector<int>{0, 2}));

  int extra1 = 0, extra2 = 0;
  readrace_file(&r.locations, &r.state, &extra1, &extra2);
  ASSERT_EQ(outside().stats_calls.size(), 1u);
  const StatsCall& c = outside().stats_calls[0];
  EXPECT_EQ(c.state, &r.state);
  EXPECT_EQ(c.extra1, &extra1);
  EXPECT_EQ(c.extra2, &extra2);
  EXPECT_EQ(c.user_name, field24("alice"));
  EXPECT_EQ(c.file_size, 200u);
  EXPECT_EQ(c.transfer_time, 20u);
}

TEST_F(RaceFileTest, ReadCountsByStatus) {
  std::string d;
  d += race_bytes({"ok", 1, 5, "u1", "g1", 10, 1, 7, 8});
  d += race_bytes({"bad", 255, 0, "u", "g", 1000});
  d += race_bytes({"gone", 0, 0, "u", "g", 50});
  d += race_bytes({"caller", 253, 0, "u", "g", 60});
  d += race_bytes({"bad2", 255, 0, "u", "g", 24});
  d += race_bytes({"new", 2, 0, "u2", "g2", 30, 3, 9, 10});
  write_file("racedata", d);
  r.state.bad_count = 1;
  r.state.bad_size_total = 5;
  readrace_file(&r.locations, &r.state, nullptr, nullptr);
  EXPECT_EQ(r.state.bad_count, 3);
  EXPECT_EQ(r.state.bad_size_total, 1029u);
  EXPECT_EQ(r.state.status253_seen, 1);
  ASSERT_EQ(outside().stats_calls.size(), 2u);
  EXPECT_EQ(outside().stats_calls[0].group_name, field24("g1"));
  EXPECT_EQ(outside().stats_calls[0].info1, 7u);
  EXPECT_EQ(outside().stats_calls[0].info2, 8u);
  EXPECT_EQ(outside().stats_calls[1].user_name, field24("u2"));
  EXPECT_EQ(outside().stats_calls[1].info2, 10u);
}

TEST_F(RaceFileTest, BadCountWrapsAtAByte) {
  std::string d;
  for (int i = 0; i < 257; ++i) d += race_bytes({std::string("b").append(std::to_string(i)), 255, 0, "u", "g", 1});
  write_file("racedata", d);
  readrace_file(&r.locations, &r.state, nullptr, nullptr);
  EXPECT_EQ(r.state.bad_count, 1);
  EXPECT_EQ(r.state.bad_size_total, 257u);
}

TEST_F(RaceFileTest, EmptyOrMissingFileLeavesEveryCounter) {
  r.state.bad_count = 4;
  r.state.bad_size_total = 9;
  readrace_file(&r.locations, &r.state, nullptr, nullptr);
  write_file("racedata", "");
  readrace_file(&r.locations, &r.state, nullptr, nullptr);
  EXPECT_EQ(r.state.bad_count, 4);
  EXPECT_EQ(r.state.bad_size_total, 9u);
  EXPECT_EQ(r.state.status253_seen, 0);
  EXPECT_TRUE(outside().stats_calls.empty());
  EXPECT_EQ(clear_file_file(&r.locations, "x"), 0);
  EXPECT_FALSE(exists("nowhere")) << "only writerace_file creates the file";
}

TEST_F(RaceFileTest, ClearTurnsEveryLiveRecordOfTheExactNameToDeleted) {
  std::string d = race_bytes({"A.rar", 1}) + race_bytes({"a.rar", 1}) + race_bytes({"a.rar", 253}) +
                  race_bytes({"a.rar", 255}) + race_bytes({"a.rar", 2}) + race_bytes({"a.rarx", 2});
  write_file("racedata", d);
  EXPECT_EQ(clear_file_file(&r.locations, "a.rar"), 1);
  EXPECT_EQ(statuses_of(read_file("racedata")), (std::vector<int>{1, 0, 0, 255, 0, 2}));
  EXPECT_EQ(clear_file_file(&r.locations, "a.rar"), 0) << "nothing live is left of the name";
  EXPECT_EQ(clear_file_file(&r.locations, "A.RAR"), 0) << "case counts";
  std::string after = read_file("racedata");
  ASSERT_EQ(after.size(), d.size());
  EXPECT_EQ(statuses_of(after), (std::vector<int>{1, 0, 0, 255, 0, 2}));
}

TEST_F(RaceFileTest, WriteCreatesAMissingFile) {
  write("first", 3, 2);
  EXPECT_EQ(statuses_of(read_file("racedata")), (std::vector<int>{2}));
}

// A damaged record ends every walk: records before it still count, and no
// reader allocates for, reads or writes past the lie in its length.
TEST_F(RaceFileTest, DamagedRecordsEndTheFile) {
  const std::string good = race_bytes({"good", 2, 0, "u", "g", 1});
  std::string no_zero = race_bytes({"abc", 2});
  no_zero[4 + 3] = 'x';
  const std::string zero_length = le32(0) + std::string(69, '\x02');
  const std::string cases[] = {
      good + le32(0xffffffffu) + "short",
      good + le32(2000) + std::string(100, 'n'),
      good + no_zero + good,
      good + zero_length + good,
      good + race_bytes({"good", 2}).substr(0, 40),
      good + "\x05\x00",
  };
  for (const std::string& d : cases) {
    SCOPED_TRACE(testing::Message() << "file of " << d.size() << " bytes");
    write_file("racedata", d);
    reset_outside();
    readrace_file(&r.locations, &r.state, nullptr, nullptr);
    EXPECT_EQ(outside().stats_calls.size(), 1u);
    EXPECT_EQ(clear_file_file(&r.locations, "good"), 1);
    std::string want = d;
    want[4 + 5] = '\0';
    EXPECT_EQ(read_file("racedata"), want) << "only the record before the damage changes";
  }
}

}  // namespace
}  // namespace lapbook_test
