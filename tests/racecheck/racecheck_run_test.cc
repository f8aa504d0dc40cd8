// racecheck and lapdump run as an operator would, on a real release
// directory: what each command says, its exit status and what it leaves.
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string crc_text(const std::string& bytes) {
  char text[9];
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
  std::snprintf(text, sizeof text, "%08lX", crc);
  return text;
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class RacecheckRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/racecheck-run.XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    top_ = templ;
    root_ = top_ + "/root";
    rel_ = top_ + "/site/Some.Release-GRP";
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((top_ + "/site").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(rel_.c_str(), 0755), 0);
    data_ = root_ + rel_;
  }
  void TearDown() override {
    ::nftw(top_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
           FTW_DEPTH | FTW_PHYS);
  }
  // Runs a program with arguments (already quoted for the shell).
  static std::string run(const std::string& program, const std::string& args, int* status) {
    FILE* p = ::popen((program + " " + args + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = ::pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
  }
  std::string racecheck(const std::string& args, int* status) {
    return run(RACECHECK_PATH, "--data-root " + root_ + " " + rel_ + " " + args, status);
  }
  std::string top_, root_, rel_, data_;
};

TEST_F(RacecheckRun, ARaceFromSfvToCompleteRelease) {
  const std::string rar = random_bytes(3000, 1), r00 = random_bytes(5000, 2);
  write_file(rel_ + "/Rel.SFV", "; by hand\r\nsome.rar " + crc_text(rar) + "\r\nSOME.R00 " + crc_text(r00) +
                                    "\r\nsome.nfo 12345678\r\n");
  int status = -1;
  std::string out = racecheck("sfv Rel.SFV", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Rel.SFV: 2 files listed, rar release, 2 missing"), std::string::npos) << out;
  EXPECT_TRUE(exists(rel_ + "/some.rar-missing"));
  EXPECT_TRUE(exists(rel_ + "/some.r00-missing"));
  EXPECT_EQ(read_file(rel_ + "/Rel.SFV").substr(0, 4), "; sf");
  EXPECT_TRUE(exists(data_ + "/sfvdata")) << "the data directory mirrors the release below the root";

  write_file(rel_ + "/Some.rar", rar);
  out = racecheck("upload Some.rar alice racers 2", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Some.rar from alice/racers: CRC-32 " + crc_text(rar) + " OK"), std::string::npos) << out;
  EXPECT_NE(out.find("alice leads the race"), std::string::npos) << out;
  EXPECT_NE(out.find("1 of 2 files, 1 missing"), std::string::npos) << out;
  EXPECT_FALSE(exists(rel_ + "/some.rar-missing"));

  write_file(rel_ + "/some.r00", r00 + "damage");
  out = racecheck("upload some.r00 bob racers", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("BAD, the SFV gives " + crc_text(r00) + "; deleted"), std::string::npos) << out;
  EXPECT_FALSE(exists(rel_ + "/some.r00"));
  EXPECT_TRUE(exists(rel_ + "/some.r00-missing"));

  write_file(rel_ + "/some.r00", r00);
  out = racecheck("upload some.r00 bob racers 1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("bob takes the lead from alice"), std::string::npos) << out;
  EXPECT_NE(out.find("release complete: 2 files, 8000 bytes"), std::string::npos) << out;
  EXPECT_EQ(read_file(data_ + "/index"), "some.r00\nSome.rar\n");
  EXPECT_FALSE(exists(rel_ + "/some.r00-missing"));

  out = run(LAPDUMP_PATH, data_ + "/racedata", &status);
  EXPECT_EQ(status, 0);
  // 3000 bytes in 2 seconds: 1.46 KB/s.
  EXPECT_NE(out.find("| Filename: Some.rar - Status: OK - CRC-32: " + crc_text(rar) + " - Filesize: 3000\n"
                     "| User    : alice - Group: racers - Speed: 1.5Kb/s\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("| Filename: some.r00 - Status: BAD"), std::string::npos) << out;
  EXPECT_NE(out.find("|-[File #3]\n| Filename: some.r00 - Status: OK"), std::string::npos) << out;
  EXPECT_NE(out.find("|-[EOF]\n"), std::string::npos) << out;
}

TEST_F(RacecheckRun, UploadsBeforeTheSfvWaitForIt) {
  const std::string good = random_bytes(100, 3);
  write_file(rel_ + "/a.mp3", good);
  write_file(rel_ + "/extra.mp3", "not listed");
  int status = -1;
  std::string out = racecheck("upload a.mp3 carol grp", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("not checked yet (no SFV)"), std::string::npos) << out;
  racecheck("upload extra.mp3 carol grp", &status);
  write_file(rel_ + "/x.sfv", "a.mp3 " + crc_text(good) + "\n");
  out = racecheck("sfv x.sfv", &status);
  EXPECT_NE(out.find("1 files listed, mp3 release, 0 missing"), std::string::npos) << out;
  EXPECT_NE(out.find("release complete"), std::string::npos) << out;
  EXPECT_TRUE(exists(rel_ + "/a.mp3"));
  EXPECT_FALSE(exists(rel_ + "/extra.mp3")) << "an upload the SFV does not list is deleted";
  out = racecheck("index " + top_ + "/idx", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(top_ + "/idx"), "a.mp3\n");
}

TEST_F(RacecheckRun, RefusesWhatItCannotHandle) {
  int status = -1;
  racecheck("upload ../outside u g", &status);
  EXPECT_EQ(status, 1);
  racecheck("upload absent u g", &status);
  EXPECT_EQ(status, 1);
  racecheck("upload absent u g -1", &status);
  EXPECT_EQ(status, 2);
  racecheck("sfv absent.sfv", &status);
  EXPECT_EQ(status, 1);
  racecheck("frobnicate", &status);
  EXPECT_EQ(status, 2);
  std::string out = run(RACECHECK_PATH, "--data-root " + top_ + "/none " + rel_ + " check", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("cannot be created"), std::string::npos) << out;
}

TEST_F(RacecheckRun, ReadsTheDiskCountOfADescription) {
  write_file(rel_ + "/file_id.diz", "Some Release\n  [01/12]\n");
  write_file(rel_ + "/none.diz", "nothing here\n");
  int status = -1;
  EXPECT_EQ(racecheck("diz file_id.diz", &status), rel_ + "/file_id.diz announces 12 disks\n");
  EXPECT_EQ(racecheck("diz none.diz", &status), rel_ + "/none.diz announces no disk count\n");
  EXPECT_EQ(status, 0);
}

}  // namespace
