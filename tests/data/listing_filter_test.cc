// The merge filter: names after the date of real servers' lines and at column
// 55 otherwise, the leading "total" line, repeated names, and lines that
// reads cut anywhere.
#include "ferrynet/data/listing_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/data/data_test_support.h"

using data_test::entry;
using ferrynet::ListingFilter;
using ferrynet::SeenNames;

namespace {

// Feeds `input` in pieces of the given sizes (the last one repeated) and
// returns what was passed on, each emit call as one element.
std::vector<std::string> run(ListingFilter& f, const std::string& input, std::vector<size_t> pieces) {
  std::vector<std::string> out;
  auto emit = [&](const char* p, size_t n) {
    out.emplace_back(p, n);
    return true;
  };
  size_t pos = 0;
  for (size_t k = 0; pos < input.size(); ++k) {
    size_t n = std::min(pieces[std::min(k, pieces.size() - 1)], input.size() - pos);
    EXPECT_TRUE(f.feed(input.data() + pos, n, emit));
    pos += n;
  }
  EXPECT_TRUE(f.finish(emit));
  return out;
}

TEST(ListingName, IsColumn55ToLineEndWithOnlyTheLineEndThatIsThere) {
  std::string crlf = entry("Some.Release-GRP");
  std::string lf = entry("Some.Release-GRP", "\n");
  std::string bare = entry("Some.Release-GRP", "");
  for (const std::string* line : {&crlf, &lf, &bare})
    EXPECT_EQ(ferrynet::listing_name(line->data(), line->size()), "Some.Release-GRP");
  std::string one = entry("x", "\n");
  EXPECT_EQ(ferrynet::listing_name(one.data(), one.size()), "x");
}

TEST(ListingName, ShortLinesHaveNoNameAndLongNamesAreCutTo255) {
  std::string short_line = std::string(55, 'a') + "\r\n";
  EXPECT_TRUE(ferrynet::listing_name(short_line.data(), short_line.size()).empty());
  std::string long_line = entry(std::string(300, 'n'));
  EXPECT_EQ(ferrynet::listing_name(long_line.data(), long_line.size()).size(), 255u);
}

// One tree listed by four servers, byte for byte as they sent it.
const char* const kVsftpd[] = {
    "-rw-r--r--    1 0        0               0 Nov 30  2021  lead blank\r\n",
    "drwxr-xr-x    2 0        0            4096 Dec 09 10:22 A Dir\r\n",
    "-rw-r--r--    1 0        0               2 Dec 09 10:22 Jan 01 12:00 x\r\n",
    "lrwxrwxrwx    1 0        0              21 Dec 09 10:30 blank link -> with blanks in it.txt\r\n",
    "-rw-r--r--    1 0        0               0 Mar 04  2019 old.bin\r\n",
};
const char* const kProftpd[] = {
    "-rw-r--r--   1 0        0               0 Nov 30  2021  lead blank\r\n",
    "drwxr-xr-x   2 0        0            4096 Dec  9 10:22 A Dir\r\n",
    "-rw-r--r--   1 0        0               2 Dec  9 10:22 Jan 01 12:00 x\r\n",
    "lrwxrwxrwx   1 0        0              21 Dec  9 10:30 blank link -> with blanks in it.txt\r\n",
    "-rw-r--r--   1 0        0               0 Mar  4  2019 old.bin\r\n",
};
const char* const kPureFtpd[] = {
    "-rw-r--r--    1 0          0                   0 Nov 30  2021  lead blank\r\n",
    "drwxr-xr-x    2 0          0                4096 Dec  9 10:22 A Dir\r\n",
    "-rw-r--r--    1 0          0                   2 Dec  9 10:22 Jan 01 12:00 x\r\n",
    "lrwxrwxrwx    1 0          0                  21 Dec  9 10:30 blank link -> with blanks in it.txt\r\n",
    "-rw-r--r--    1 0          0                   0 Mar  4  2019 old.bin\r\n",
};
const char* const kPyftpdlib[] = {
    "-rw-r--r--   1 root     root            0 Nov 30  2021  lead blank\r\n",
    "drwxr-xr-x   2 root     root         4096 Dec 09 10:22 A Dir\r\n",
    "-rw-r--r--   1 root     root            2 Dec 09 10:22 Jan 01 12:00 x\r\n",
    "lrwxrwxrwx   1 root     root           21 Dec 09 10:30 blank link -> with blanks in it.txt\r\n",
    "-rw-r--r--   1 root     root            0 Mar 04  2019 old.bin\r\n",
};
const char* const kTreeNames[] = {" lead blank", "A Dir", "Jan 01 12:00 x", "blank link", "old.bin"};

TEST(ListingName, RealServersLinesNameWhatFollowsTheDateWhateverTheColumn) {
  for (const auto* server : {kVsftpd, kProftpd, kPureFtpd, kPyftpdlib})
    for (size_t i = 0; i < std::size(kTreeNames); ++i)
      EXPECT_EQ(ferrynet::listing_name(server[i], std::strlen(server[i])), kTreeNames[i]) << server[i];
  // Two blanks inside a name, and a name after a date at a one-digit day and
  // an unpadded year.
  for (const char* line : {"-rw-r--r--    1 0        0               0 Dec 09 10:30 two  blanks\r\n",
                           "-rw-r--r-- 1 ftp ftp 7 Dec 9 2019 two  blanks\n"})
    EXPECT_EQ(ferrynet::listing_name(line, std::strlen(line)), "two  blanks");
}

TEST(ListingName, LinesWithoutADateAfterASizeKeepColumn55AndNoParseLeavesItsBounds) {
  // A group named like a date, a bad time, a bad day and year: column 55.
  // A date with nothing after it: no name.
  const std::pair<std::string, std::string> odd[] = {
      {"-rw-r--r--   1 owner    Dec 09 10:22   1234 Jan 1 12:0 name-at-55\r\n", "name-at-55"},
      {"-rw-r--r--   1 user     group         1234 Jan 32  201 name-at-55-too\n", "name-at-55-too"},
      {"-rw-r--r--   1 user     group            1234 Jan 01 12:00 \r\n", ""},
  };
  for (const auto& [line, name] : odd) EXPECT_EQ(ferrynet::listing_name(line.data(), line.size()), name) << line;
  // Every prefix of a line, from a buffer that ends where the prefix does.
  for (const char* line : {kVsftpd[0], kProftpd[3], kPureFtpd[2], kPyftpdlib[4]})
    for (size_t n = 0; n <= std::strlen(line); ++n) {
      std::vector<char> exact(line, line + n);
      std::string_view name = ferrynet::listing_name(exact.data(), n);
      EXPECT_TRUE(name.empty() || (name.data() >= exact.data() && name.data() + name.size() <= exact.data() + n));
    }
}

TEST(ListingFilter, OneTreeFromFourServersPassesEachNameOnceLinkAndFileAlike) {
  SeenNames seen;
  std::vector<std::string> got;
  // vsftpd lists two entries, proftpd has a plain file where the link was.
  std::string vsftpd = std::string("total 8\r\n") + kVsftpd[1] + kVsftpd[3];
  std::string proftpd = std::string("total 8\r\n") + kProftpd[1] +
                        "-rw-r--r--   1 0        0               0 Dec  9 10:22 blank link\r\n" + kProftpd[4];
  std::string pure = std::string(kPureFtpd[0]) + kPureFtpd[1] + kPureFtpd[2] + kPureFtpd[3] + kPureFtpd[4];
  std::string py = std::string(kPyftpdlib[0]) + kPyftpdlib[1] + kPyftpdlib[2] + kPyftpdlib[3] + kPyftpdlib[4];
  for (const std::string* listing : {&vsftpd, &proftpd, &pure, &py}) {
    ListingFilter f(seen);
    for (auto& line : run(f, *listing, {17})) got.push_back(line);
  }
  EXPECT_EQ(got, (std::vector<std::string>{kVsftpd[1], kVsftpd[3], kProftpd[4], kPureFtpd[0], kPureFtpd[2]}));
}

TEST(ListingFilter, DropsLeadingTotalLineWhereverTheReadsFall) {
  const std::string listing = "total 12\r\n" + entry("a") + entry("b") + "total 3\r\n";
  const std::vector<std::string> want = {entry("a"), entry("b"), "total 3\r\n"};
  for (size_t first = 1; first < listing.size(); ++first) {
    SeenNames seen;
    ListingFilter f(seen);
    EXPECT_EQ(run(f, listing, {first, 7}), want) << "first read of " << first << " bytes";
  }
}

TEST(ListingFilter, LinesCutByReadsArriveWholeOnePerWrite) {
  std::string listing;
  std::vector<std::string> want;
  for (int i = 0; i < 3000; ++i) {
    want.push_back(entry("entry-" + std::to_string(i) + std::string(i % 97, 'x')));
    listing += want.back();
  }
  for (size_t piece : {1u, 13u, 1024u, 4096u}) {
    SeenNames seen;
    ListingFilter f(seen);
    EXPECT_EQ(run(f, listing, {piece}), want) << "reads of " << piece;
  }
}

TEST(ListingFilter, LastLineWithoutLineEndPassesAtEndOfFile) {
  SeenNames seen;
  ListingFilter f(seen);
  std::string last = entry("tail", "");
  EXPECT_EQ(run(f, entry("a") + last, {5}), (std::vector<std::string>{entry("a"), last}));
}

TEST(ListingFilter, RepeatedNamesPassOnceAcrossLegsFirstWins) {
  SeenNames seen;
  ListingFilter site0(seen), site1(seen);
  EXPECT_EQ(run(site0, entry("both") + entry("only0") + entry("both"), {1024}),
            (std::vector<std::string>{entry("both"), entry("only0")}));
  // Case counts, and an LF-only line names the same entry as a CR LF one.
  EXPECT_EQ(run(site1, entry("both", "\n") + entry("BOTH") + entry("only0", "\n"), {1024}),
            (std::vector<std::string>{entry("BOTH")}));
  // Lines with no name are never compared, so both pass.
  SeenNames other;
  ListingFilter f(other);
  EXPECT_EQ(run(f, "x\r\ndrwx\r\ndrwx\r\n", {1024}), (std::vector<std::string>{"x\r\n", "drwx\r\n", "drwx\r\n"}));
}

TEST(ListingFilter, NamesEqualInTheirFirst255CharactersAreOneName) {
  SeenNames seen;
  ListingFilter f(seen);
  std::string stem(255, 'n');
  EXPECT_EQ(run(f, entry(stem + "A") + entry(stem + "B"), {1024}), (std::vector<std::string>{entry(stem + "A")}));
}

TEST(ListingFilter, AStreamWithoutLineEndsPassesWholeInPiecesWithoutBeingHeld) {
  SeenNames seen;
  ListingFilter f(seen);
  std::string blob(ferrynet::kLineHoldMax * 3, 'z');
  std::string after = entry("after") + entry("after");
  std::string passed;
  int calls = 0;
  auto out = run(f, blob + "\n" + after, {1024});
  for (const auto& piece : out) {
    passed += piece;
    ++calls;
  }
  EXPECT_EQ(passed, blob + "\n" + entry("after"));
  EXPECT_GT(calls, 2);
}

TEST(ListingFilter, AFailedWriteStopsTheFeed) {
  SeenNames seen;
  ListingFilter f(seen);
  int calls = 0;
  std::string two = entry("a") + entry("b");
  EXPECT_FALSE(f.feed(two.data(), two.size(), [&](const char*, size_t) { return ++calls > 5; }));
  EXPECT_EQ(calls, 1);
}

TEST(SeenNames, ManyLegsAtOnceLetEachNameThroughExactlyOnce) {
  SeenNames seen;
  std::atomic<int> firsts{0};
  std::vector<std::thread> legs;
  for (int t = 0; t < 6; ++t)
    legs.emplace_back([&] {
      for (int i = 0; i < 5000; ++i)
        if (seen.first_sighting("name-" + std::to_string(i))) ++firsts;
    });
  for (auto& t : legs) t.join();
  EXPECT_EQ(firsts.load(), 5000);
  EXPECT_EQ(seen.size(), 5000u);
}

TEST(SeenNames, KnowsEveryNameThroughEveryGrowthWhateverItsLength) {
  SeenNames seen;
  std::vector<std::string> names;
  // Lengths 0 to 300 (every way a name is hashed), then many: the table is
  // moved to larger ones several times, and the names fill many blocks.
  for (size_t len = 0; len <= 300; ++len) names.push_back(std::string(len, 'n'));
  for (int i = 0; i < 200000; ++i) names.push_back("name." + std::to_string(i));
  // Longer than a block of names, and one that differs from it in its last byte only.
  names.push_back(std::string(100000, 'x') + "a");
  names.push_back(std::string(100000, 'x') + "b");
  for (const auto& n : names) EXPECT_TRUE(seen.first_sighting(n)) << n.size();
  for (const auto& n : names) EXPECT_FALSE(seen.first_sighting(n)) << n.size();
  EXPECT_EQ(seen.size(), names.size());
}

TEST(MergeBlock, AGivenBackBlockServesTheNextAndWhatIsKeptIsBounded) {
  const char* first;
  {
    ferrynet::MergeBlock b(300000);
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(b.size(), size_t{1} << 19);
    first = b.data();
  }
  ferrynet::MergeBlock again(400000);
  EXPECT_EQ(again.data(), first);
  {
    std::vector<ferrynet::MergeBlock> many;
    for (int i = 0; i < 40; ++i) many.emplace_back(1 << 20);
  }
  EXPECT_LE(ferrynet::MergeBlock::kept(), ferrynet::kMergeKeptMax);
}

}  // namespace
