// racecheck's definitions of the routines lapbook calls back.
#include <gtest/gtest.h>
#include <ftw.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "lapbook/lapbook.h"
#include "racecheck/checker_routines.h"

namespace {

class InReleaseDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    previous_ = cwd;
    char templ[] = "/tmp/racecheck-test.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir_ = templ;
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(::chdir(previous_.c_str()), 0);
    ::nftw(dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 8,
           FTW_DEPTH | FTW_PHYS);
  }
  static void touch(const std::string& name) { std::ofstream(name) << "x"; }
  static bool exists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }
  std::string dir_, previous_;
};

TEST_F(InReleaseDir, FindfileLooksForARegularFileIgnoringCase) {
  touch("Foo.RAR");
  ASSERT_EQ(::mkdir("cd1", 0755), 0);
  EXPECT_EQ(findfile("foo.rar"), 1);
  EXPECT_EQ(findfile("foo.r00"), 0);
  EXPECT_EQ(findfile("cd1"), 0) << "a directory is no upload";
  EXPECT_EQ(findfile("./Foo.RAR"), 0) << "only plain names are looked up";
}

TEST_F(InReleaseDir, CreateMissingMakesALowerCaseMarkerOfTheGivenLength) {
  create_missing("A.r00trailing", 5);
  EXPECT_TRUE(exists("a.r00-missing"));
  create_missing("../escape", 9);
  create_missing("..", 2);
  create_missing("x", 0);
  EXPECT_FALSE(exists("../escape-missing"));
  EXPECT_FALSE(exists("..-missing"));
  EXPECT_FALSE(exists("-missing"));
  EXPECT_EQ(racecheck::marker_name("Foo.RAR"), "foo.rar-missing");
}

TEST(CheckerRoutinesTest, StrcompFindsWholeItemsOfTheList) {
  const char* list = ",diz,jpg,cue,m3u,nfo,sfv";
  EXPECT_NE(strcomp(list, "diz"), 0);
  EXPECT_NE(strcomp(list, "sfv"), 0);
  EXPECT_NE(strcomp(list, "NFO"), 0);
  EXPECT_EQ(strcomp(list, "di"), 0);
  EXPECT_EQ(strcomp(list, "jpgx"), 0);
  EXPECT_EQ(strcomp(list, ""), 0);
  EXPECT_EQ(strcomp(list, "rar"), 0);
}

TEST(CheckerRoutinesTest, HexstrtodecWantsEightHexDigits) {
  EXPECT_EQ(hexstrtodec("1a2b3c4d"), 0x1a2b3c4du);
  EXPECT_EQ(hexstrtodec("FFFFFFFF"), 0xffffffffu);
  EXPECT_EQ(hexstrtodec("0000000f"), 0xfu);
  EXPECT_EQ(hexstrtodec("1234567g"), 0u);
  EXPECT_EQ(hexstrtodec("1234567"), 0u);
  EXPECT_EQ(hexstrtodec("12 45678"), 0u);
}

TEST(CheckerRoutinesTest, ExtensionFamilies) {
  for (const char* e : {"rar", "RAR", "r00", "r99", "s01", "001", "999"}) EXPECT_NE(israr(e), 0) << e;
  for (const char* e : {"r0", "r000", "rx1", "zip", "", "mp3"}) EXPECT_EQ(israr(e), 0) << e;
  for (const char* e : {"avi", "MKV", "mpg", "vob"}) EXPECT_NE(isvideo(e), 0) << e;
  for (const char* e : {"mp3", "rar", "av"}) EXPECT_EQ(isvideo(e), 0) << e;
}

}  // namespace
