// lapdump's listing, byte for byte, and the program's messages and exit
// statuses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "lapdump/race_listing.h"
#include "tests/lapbook/lapbook_test_support.h"

namespace lapbook_test {
namespace {

const std::string kBanner = "|-[Racedata lister for tallyrace]\n|\n";

// The listing of bytes, as list_race_data prints it.
std::string listing_of(const std::string& bytes, lapdump::ListingEnd* end = nullptr) {
  write_file("racedata", bytes);
  int fd = ::open("racedata", O_RDONLY);
  char* text = nullptr;
  size_t length = 0;
  FILE* out = ::open_memstream(&text, &length);
  lapdump::ListingEnd e = lapdump::list_race_data(fd, out);
  std::fclose(out);
  ::close(fd);
  if (end != nullptr) *end = e;
  std::string s(text, length);
  std::free(text);
  return s;
}

class ListingTest : public ::testing::Test {
 protected:
  ScratchDir dir;
};

TEST_F(ListingTest, AnEmptyFileListsTheBannerAndTheEnd) {
  lapdump::ListingEnd end;
  EXPECT_EQ(listing_of("", &end), kBanner + "|-[EOF]\n");
  EXPECT_EQ(end, lapdump::ListingEnd::kEof);
}

TEST_F(ListingTest, EachRecordIsABlockOfThreeLines) {
  std::string d = race_bytes({"Foo.rar", 1, 0x1234abcd, "alice", "racers", 2048, 1024}) +
                  race_bytes({"b.r00", 255, 0, "bob", "", 3, 2}) + race_bytes({"c", 0, 0xff, "u", "g", 0, 1}) +
                  race_bytes({"d", 2, 1, "u", "g", 1, 1});
  EXPECT_EQ(listing_of(d), kBanner +
                               "|-[File #1]\n"
                               "| Filename: Foo.rar - Status: OK - CRC-32: 1234ABCD - Filesize: 2048\n"
                               "| User    : alice - Group: racers - Speed: 2048.0Kb/s\n"
                               "|-[File #2]\n"
                               "| Filename: b.r00 - Status: BAD - CRC-32: 00000000 - Filesize: 3\n"
                               "| User    : bob - Group:  - Speed: 1536.0Kb/s\n"
                               "|-[File #3]\n"
                               "| Filename: c - Status: Deleted - CRC-32: 000000FF - Filesize: 0\n"
                               "| User    : u - Group: g - Speed: 0.0Kb/s\n"
                               "|-[File #4]\n"
                               "| Filename: d - Status: Not checked - CRC-32: 00000001 - Filesize: 1\n"
                               "| User    : u - Group: g - Speed: 1024.0Kb/s\n"
                               "|-[EOF]\n");
}

TEST_F(ListingTest, StatusesWithoutATextShowTheirNumber) {
  std::string listing = listing_of(race_bytes({"x", 253}) + race_bytes({"y", 7}));
  EXPECT_NE(listing.find("Status: Unknown (253) - "), std::string::npos) << listing;
  EXPECT_NE(listing.find("Status: Unknown (7) - "), std::string::npos) << listing;
}

TEST_F(ListingTest, ANameFieldWithoutAZeroByteShowsOnlyItsBytes) {
  std::string full(24, 'u');
  std::string listing = listing_of(race_bytes({"x", 1, 0, full, std::string(24, 'g'), 1, 1}));
  EXPECT_NE(listing.find("| User    : " + full + " - Group: " + std::string(24, 'g') + " - Speed"),
            std::string::npos)
      << listing;
}

TEST_F(ListingTest, AZeroTransferTimeShowsTheInfiniteOrUndefinedSpeedAndGoesOn) {
  std::string listing = listing_of(race_bytes({"x", 1, 0, "u", "g", 5, 0}) + race_bytes({"y", 1, 0, "u", "g", 0, 0}) +
                                   race_bytes({"z", 1}));
  EXPECT_NE(listing.find("Speed: infKb/s\n"), std::string::npos) << listing;
  EXPECT_TRUE(std::regex_search(listing, std::regex("Speed: -?nanKb/s\n"))) << listing;
  EXPECT_NE(listing.find("|-[File #3]\n"), std::string::npos);
}

TEST_F(ListingTest, DamageAfterANameEndsTheListingWithCorrupted) {
  const std::string first = race_bytes({"first", 1, 0, "u", "g", 1, 1});
  const std::string first_block =
      "|-[File #1]\n"
      "| Filename: first - Status: OK - CRC-32: 00000000 - Filesize: 1\n"
      "| User    : u - Group: g - Speed: 1024.0Kb/s\n";
  std::string unterminated = race_bytes({"abc", 1});
  unterminated[7] = 'c';
  // Records after the damage are never reached.
  const std::string damaged[] = {race_bytes({"cut", 1}).substr(0, 4 + 4 + 68), le32(1u << 31) + "abc" + first,
                                 unterminated + first, le32(0) + std::string(69, '\1') + first};
  for (const std::string& d : damaged) {
    lapdump::ListingEnd end;
    EXPECT_EQ(listing_of(first + d, &end), kBanner + first_block + "|-[CORRUPTED]\n");
    EXPECT_EQ(end, lapdump::ListingEnd::kCorrupted);
  }
  EXPECT_EQ(listing_of(first + "\x03\x00\x00"), kBanner + first_block + "|-[EOF]\n")
      << "a file ending inside a length field simply ends";
}

// Runs the program with args and returns what it printed; status is its exit status.
std::string run_lapdump(const std::string& args, int* status) {
  std::string command = std::string(LAPDUMP_PATH) + args;
  FILE* p = ::popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

TEST_F(ListingTest, TheProgramsMessagesAndExitStatuses) {
  int status = -1;
  EXPECT_EQ(run_lapdump("", &status), std::string("Usage: ") + LAPDUMP_PATH + " <racedata file>\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run_lapdump(" a b", &status), std::string("Usage: ") + LAPDUMP_PATH + " <racedata file>\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run_lapdump(" absent", &status), "File does not exist or could not be opened\n");
  EXPECT_EQ(status, 0);
  write_file("racedata", race_bytes({"a", 1, 0, "u", "g", 1, 1}) + le32(99));
  EXPECT_EQ(run_lapdump(" racedata", &status), listing_of(read_file("racedata")));
  EXPECT_EQ(status, 0);
  write_file("good", race_bytes({"a", 1, 0, "u", "g", 1, 1}));
  EXPECT_EQ(run_lapdump(" good", &status), listing_of(read_file("good")));
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace lapbook_test
