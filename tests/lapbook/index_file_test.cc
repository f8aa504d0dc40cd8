// create_indexfile_file.
#include <gtest/gtest.h>

#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

class IndexFileTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  ReleaseFiles r;
};

TEST_F(IndexFileTest, ListsTheGoodNamesIgnoringCaseEqualOnesInFileOrder) {
  write_file("racedata", race_bytes({"b", 1}) + race_bytes({"A", 1}) + race_bytes({"bad", 255}) +
                             race_bytes({"a", 1}) + race_bytes({"c", 2}) + race_bytes({"_x", 1}) +
                             race_bytes({"gone", 0}));
  r.state.sfv_file_count = 2;  // fewer than the good names: every one is still listed
  create_indexfile_file(&r.locations, &r.state, "index");
  EXPECT_EQ(read_file("index"), "_x\nA\na\nb\n") << "letters fold to lower case, so _ sorts first";
}

TEST_F(IndexFileTest, ManyNamesSortAndKeepTheirOrderAmongEquals) {
  std::string d, want_upper, want_lower;
  for (int i = 999; i >= 0; --i) {
    char name[8];
    snprintf(name, sizeof name, "n%03d", i);
    std::string upper = name;
    upper[0] = 'N';
    d += race_bytes({upper, 1}) + race_bytes({name, 1});
  }
  write_file("racedata", d);
  create_indexfile_file(&r.locations, &r.state, "index");
  std::string want;
  for (int i = 0; i < 1000; ++i) {
    char name[8];
    snprintf(name, sizeof name, "%03d", i);
    want += std::string("N") + name + "\nn" + name + "\n";
  }
  EXPECT_EQ(read_file("index"), want);
}

TEST_F(IndexFileTest, AMissingRaceFileGivesAnEmptyIndex) {
  write_file("index", "old contents\n");
  create_indexfile_file(&r.locations, &r.state, "index");
  EXPECT_TRUE(exists("index"));
  EXPECT_EQ(read_file("index"), "");
}

TEST_F(IndexFileTest, AnIndexThatCannotBeCreatedIsSkipped) {
  write_file("racedata", race_bytes({"a", 1}));
  create_indexfile_file(&r.locations, &r.state, "no/such/dir/index");
  EXPECT_FALSE(exists("no"));
}

}  // namespace
}  // namespace lapbook_test
