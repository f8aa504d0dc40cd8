// readsfv_file, testfiles_file and delete_sfv_file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

class SfvCheckTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  ReleaseFiles r;
};

TEST_F(SfvCheckTest, ReadGivesTheCrcOfTheNameIgnoringCaseAndCountsEntries) {
  write_file("sfvdata", sfv_data_bytes(4, {{"a.rar", 1}, {"b.rar", 2}, {"a.rar", 3}, {"c.rar", 4}}));
  r.state.file_name = "A.RAR";
  EXPECT_EQ(readsfv_file(&r.locations, &r.state, 0), 3u) << "a later equal entry wins";
  EXPECT_EQ(r.state.release_type, 4);
  EXPECT_EQ(r.state.sfv_file_count, 4);
  EXPECT_EQ(r.state.missing_count, 4) << "without the presence flag every entry counts";
  EXPECT_TRUE(outside().findfile_calls.empty());

  RaceState s{};
  s.file_name = "d.rar";
  outside().present = {"b.rar", "c.rar"};
  EXPECT_EQ(readsfv_file(&r.locations, &s, 1), 0u);
  EXPECT_EQ(s.missing_count, 2) << "both a.rar entries are absent";
  EXPECT_EQ(outside().findfile_calls, (std::vector<std::string>{"a.rar", "b.rar", "a.rar", "c.rar"}));
}

TEST_F(SfvCheckTest, ReadAddsToTheCountersOnEveryCall) {
  write_file("sfvdata", sfv_data_bytes(1, {{"a.rar", 1}, {"b.rar", 2}}));
  r.state.file_name = "a.rar";
  readsfv_file(&r.locations, &r.state, 0);
  readsfv_file(&r.locations, &r.state, 0);
  EXPECT_EQ(r.state.sfv_file_count, 4);
  EXPECT_EQ(r.state.missing_count, 2 + 4);
}

TEST_F(SfvCheckTest, ReadOfAMissingOrDamagedFile) {
  r.state.file_name = "a.rar";
  r.state.release_type = 9;
  EXPECT_EQ(readsfv_file(&r.locations, &r.state, 1), 0u);
  EXPECT_EQ(r.state.sfv_file_count, 0);
  EXPECT_EQ(r.state.release_type, 9);

  std::string d = sfv_data_bytes(1, {{"b.rar", 2}}) + le32(1u << 30) + "a.rar";
  write_file("sfvdata", d);
  EXPECT_EQ(readsfv_file(&r.locations, &r.state, 0), 0u);
  EXPECT_EQ(r.state.sfv_file_count, 1) << "the entry after the damage is not counted";

  std::string unterminated = sfv_data_bytes(1, {{"a.rar", 7}});
  unterminated[2 + 4 + 5] = 'x';
  write_file("sfvdata", unterminated);
  RaceState s{};
  s.file_name = "a.rarx";
  EXPECT_EQ(readsfv_file(&r.locations, &s, 0), 0u);
  EXPECT_EQ(s.sfv_file_count, 0);
}

TEST_F(SfvCheckTest, TestfilesMarksUncheckedUploadsGoodOrBad) {
  write_file("sfvdata", sfv_data_bytes(1, {{"good.rar", 0x11}, {"wrong.rar", 0x22}, {"zero.rar", 0x33}}));
  for (const char* f : {"Good.rar", "wrong.rar", "zero.rar", "unlisted.rar", "done.rar"}) write_file(f, "data");
  write_file("racedata", race_bytes({"Good.rar", 2, 0x11}) + race_bytes({"wrong.rar", 2, 0x99}) +
                             race_bytes({"zero.rar", 2, 0}) + race_bytes({"unlisted.rar", 2, 0x44}) +
                             race_bytes({"done.rar", 1, 0x55}) + race_bytes({"old.rar", 0, 0x11}));
  r.state.file_name = "current";
  r.state.sfv_file_count = 7;
  r.state.missing_count = 3;
  testfiles_file(&r.locations, &r.state);

  EXPECT_EQ(statuses_of(read_file("racedata")), (std::vector<int>{1, 255, 255, 255, 1, 0}));
  EXPECT_TRUE(exists("Good.rar"));
  EXPECT_FALSE(exists("wrong.rar"));
  EXPECT_FALSE(exists("zero.rar")) << "a CRC of 0 is bad even when the SFV lists the file";
  EXPECT_FALSE(exists("unlisted.rar"));
  EXPECT_TRUE(exists("done.rar"));
  EXPECT_EQ(outside().missing_calls,
            (std::vector<std::pair<std::string, int>>{{"wrong.rar", 9}, {"zero.rar", 8}}))
      << "only files the SFV lists are marked missing again";
  EXPECT_STREQ(r.state.file_name, "current");
  EXPECT_EQ(r.state.sfv_file_count, 0);
  EXPECT_EQ(r.state.missing_count, 0);
}

TEST_F(SfvCheckTest, TestfilesNeverDeletesOutsideTheCurrentDirectory) {
  ASSERT_EQ(::mkdir("sub", 0755), 0);
  ASSERT_EQ(::mkdir("rel", 0755), 0);
  write_file("sub/file", "keep");
  write_file("outside", "keep");
  ASSERT_EQ(::chdir("rel"), 0);
  write_file("racedata", race_bytes({"../outside", 2, 1}) + race_bytes({"../sub/file", 2, 1}) +
                             race_bytes({"..", 2, 1}) + race_bytes({".", 2, 1}) + race_bytes({"", 2, 1}));
  testfiles_file(&r.locations, &r.state);
  EXPECT_EQ(statuses_of(read_file("racedata")), (std::vector<int>{255, 255, 255, 255, 255}));
  ASSERT_EQ(::chdir(".."), 0);
  EXPECT_TRUE(exists("outside"));
  EXPECT_TRUE(exists("sub/file"));
  EXPECT_TRUE(exists("rel"));
}

TEST_F(SfvCheckTest, TestfilesOnAMissingRaceFileTouchesNothing) {
  r.state.sfv_file_count = 2;
  testfiles_file(&r.locations, &r.state);
  EXPECT_EQ(r.state.sfv_file_count, 2);
  EXPECT_FALSE(exists("racedata"));
}

TEST_F(SfvCheckTest, DeleteRemovesTheMarkerOfEveryEntry) {
  write_file("sfvdata", sfv_data_bytes(1, {{"a.rar", 1}, {"b.rar", 2}, {"../c.rar", 3}}));
  write_file("a.rar-missing", "");
  write_file("a.rar", "data");
  write_file("other-missing", "");
  ASSERT_EQ(::mkdir("rel", 0755), 0);
  write_file("c.rar-missing", "");
  ASSERT_EQ(::chdir("rel"), 0);
  write_file("a.rar-missing", "");
  r.locations.sfv_data_path = "../sfvdata";
  delete_sfv_file(&r.locations);
  EXPECT_FALSE(exists("a.rar-missing"));
  ASSERT_EQ(::chdir(".."), 0);
  EXPECT_TRUE(exists("c.rar-missing")) << "a name from the SFV never leads out of the directory";

  r.locations.sfv_data_path = "sfvdata";
  delete_sfv_file(&r.locations);
  EXPECT_FALSE(exists("a.rar-missing"));
  EXPECT_TRUE(exists("a.rar"));
  EXPECT_TRUE(exists("other-missing"));
}

}  // namespace
}  // namespace lapbook_test
