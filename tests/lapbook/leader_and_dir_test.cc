// read_write_leader_file and maketempdir.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(LeaderFileTest, HandsBackThePreviousLeaderAndStoresTheNewOne) {
  ScratchDir dir;
  ReleaseFiles r;
  std::memset(r.state.leader, 'z', sizeof r.state.leader);
  const std::string first = field24("alice"), second = field24("bob");
  read_write_leader_file(&r.locations, &r.state, first.data());
  EXPECT_EQ(r.state.leader[0], 0) << "a new release has no leader";
  EXPECT_EQ(read_file("leader"), first);

  read_write_leader_file(&r.locations, &r.state, second.data());
  EXPECT_EQ(std::string(r.state.leader, 24), first);
  EXPECT_EQ(read_file("leader"), second);
}

TEST(LeaderFileTest, AShortLeaderFileReplacesOnlyTheBytesItHolds) {
  ScratchDir dir;
  ReleaseFiles r;
  write_file("leader", "carol");
  std::memset(r.state.leader, 'z', sizeof r.state.leader);
  const std::string next = field24("dave");
  read_write_leader_file(&r.locations, &r.state, next.data());
  EXPECT_EQ(std::string(r.state.leader, 24), "carol" + std::string(19, 'z'));
  EXPECT_EQ(read_file("leader"), next);
}

class TempDirTest : public ::testing::Test {
 protected:
  void TearDown() override { lapbook_set_data_root(nullptr); }
  void make(const char* release, int32_t length) {
    r.locations.release_path = release;
    r.locations.release_path_length = length;
    maketempdir(&r.locations);
  }
  ScratchDir dir;
  ReleaseFiles r;
};

TEST_F(TempDirTest, DefaultRootIsTheSiteDataDirectory) {
  EXPECT_STREQ(lapbook_data_root(), "/ftp-data/tallyrace/");
  lapbook_set_data_root("/elsewhere/");
  EXPECT_STREQ(lapbook_data_root(), "/elsewhere/");
  lapbook_set_data_root(nullptr);
  EXPECT_STREQ(lapbook_data_root(), "/ftp-data/tallyrace/");
}

TEST_F(TempDirTest, CreatesEveryMissingLevelBelowTheRoot) {
  std::string root = dir.path() + "/root/";
  ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);
  lapbook_set_data_root(root.c_str());
  make("site/rel", 8);
  EXPECT_TRUE(is_dir(root + "site"));
  EXPECT_TRUE(is_dir(root + "site/rel"));
  make("site/rel/cd1", 12);  // existing levels are no error
  EXPECT_TRUE(is_dir(root + "site/rel/cd1"));
}

TEST_F(TempDirTest, TheRootItselfMustExistUnlessThePathStartsWithASlash) {
  std::string root = dir.path() + "/root/";
  lapbook_set_data_root(root.c_str());
  make("site/rel", 8);
  EXPECT_FALSE(is_dir(root));
  make("/site", 5);
  EXPECT_TRUE(is_dir(root + "site"));
}

TEST_F(TempDirTest, UsesOnlyTheGivenNumberOfCharacters) {
  std::string root = dir.path() + "/root";  // no final slash: one is added
  ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);
  lapbook_set_data_root(root.c_str());
  make("ab/cdef", 5);
  EXPECT_TRUE(is_dir(root + "/ab/cd"));
  EXPECT_FALSE(is_dir(root + "/ab/cdef"));
  make("xy", 100);  // a count past the text stops at its end
  EXPECT_TRUE(is_dir(root + "/xy"));
  make("neg", -3);  // nothing to mirror
  EXPECT_FALSE(is_dir(root + "/neg"));
}

}  // namespace
}  // namespace lapbook_test
