// EPRT arguments, 229 replies, and where the name of a name or facts listing line is.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ferrynet/data/data_address.h"
#include "ferrynet/data/listing_filter.h"

using ferrynet::DataTarget;
using ferrynet::EprtResult;

namespace {

// Parses an exact heap copy, so a read past the text is caught under ASan.
EprtResult eprt(const std::string& text, DataTarget* out = nullptr) {
  std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  DataTarget t;
  EprtResult r = ferrynet::parse_eprt_command(copy.get(), text.size(), t);
  if (out) *out = t;
  return r;
}

TEST(EprtCommand, ReadsAddressAndPortWhateverTheDelimiterCaseAndLineEnd) {
  struct Case {
    const char* line;
    int quad[4];
    int port;
  } cases[] = {
      {"EPRT |1|132.235.1.2|6275|", {132, 235, 1, 2}, 6275},
      {"eprt !1!10.0.0.255!65535!\r", {10, 0, 0, 255}, 65535},
      {"EPRT   #1#0.0.0.0#1#  \r\nEPRT |2|::1|5|", {0, 0, 0, 0}, 1},
      {"Eprt ~1~127.0.0.1~01024~", {127, 0, 0, 1}, 1024},
  };
  for (const Case& c : cases) {
    DataTarget t;
    ASSERT_EQ(eprt(c.line, &t), ferrynet::kEprtRead) << c.line;
    EXPECT_EQ(std::vector<int>(t.quad, t.quad + 4), std::vector<int>(c.quad, c.quad + 4)) << c.line;
    EXPECT_EQ(t.port, c.port) << c.line;
  }
}

TEST(EprtCommand, OtherProtocolsAreToldApartFromNonsense) {
  EXPECT_EQ(eprt("EPRT |3|x|1|"), ferrynet::kEprtOtherFamily);
  for (const char* line : {"EPRT |2|1.2.3.4|5|", "EPRT |2|::1|0|", "EPRT |2|::1%lo|5|", "EPRT |2||5|"})
    EXPECT_EQ(eprt(line), ferrynet::kEprtBadIpv6) << line;
}

TEST(EpsvReply, RefusesWhatIsNotOnePortBetweenDelimiters) {
  uint16_t port = 0;
  for (std::string bad : {"229 (|||0|)", "229 (|||65536|)", "229 (||6446|)", "229 (|||6446)", "229 (|2|::1|6446|)",
                          "227 (127,0,0,1,4,1)", "229 (|||"})
    EXPECT_FALSE(ferrynet::parse_epsv_reply(bad.data(), bad.size(), port)) << bad;
}

TEST(EprtCommand, RefusesEveryMalformedArgument) {
  for (const char* line : {
           "", "EPRT", "EPRT ", "EPRT|1|1.2.3.4|5|", "PORT |1|1.2.3.4|5|", "EPRT |1|1.2.3.4|5",
           "EPRT |1|1.2.3.4|5||", "EPRT |1|1.2.3.4|5| x", "EPRT x|1|1.2.3.4|5|", "EPRT |1|1.2.3.4||",
           "EPRT |1|1.2.3.4|0|", "EPRT |1|1.2.3.4|65536|", "EPRT |1|1.2.3.4|999999|", "EPRT |1|1.2.3.4|-5|",
           "EPRT |1|1.2.3.256|5|", "EPRT |1|1.2.3|5|", "EPRT |1|1.2.3.4.5|5|", "EPRT |1|1..3.4|5|",
           "EPRT |1|1.2.3.4.|5|", "EPRT |1|0001.2.3.4|5|", "EPRT |1| 1.2.3.4|5|", "EPRT |1|+1.2.3.4|5|",
           "EPRT ||1.2.3.4|5|", "EPRT |x|1.2.3.4|5|", "EPRT |1|host|5|", "EPRT | 1|1.2.3.4|5|",
           "EPRT \x7f" "1\x7f" "1.2.3.4\x7f" "5\x7f", "EPRT |1|1.2.3.4\n|5|",
       })
    EXPECT_EQ(eprt(line), ferrynet::kEprtUnreadable) << line;
  // A NUL ends the text even inside the bound.
  EXPECT_EQ(eprt(std::string("EPRT |1|1.2.3.4|5|", 17) + '\0' + "|"), ferrynet::kEprtUnreadable);
}

TEST(ListingName, NameListingLinesAreTheirOwnNames) {
  for (const char* line : {"Some.Release-GRP\r\n", "Some.Release-GRP\n", "Some.Release-GRP"})
    EXPECT_EQ(ferrynet::listing_name(line, std::strlen(line), ferrynet::kListingNames), "Some.Release-GRP");
  // Nothing about columns: a short name, a name with blanks, a "total" file.
  const char* spaced = "a b  c\r\n";
  EXPECT_EQ(ferrynet::listing_name(spaced, std::strlen(spaced), ferrynet::kListingNames), "a b  c");
  std::string longest(300, 'n');
  EXPECT_EQ(ferrynet::listing_name(longest.data(), longest.size(), ferrynet::kListingNames).size(), 255u);
  EXPECT_TRUE(ferrynet::listing_name("\r\n", 2, ferrynet::kListingNames).empty());
}

TEST(ListingName, FactsListingNameFollowsTheFirstSemicolonBlank) {
  struct Case {
    const char* line;
    const char* name;
  } cases[] = {
      {"type=file;size=10;modify=20231114221320; Some.Release-GRP\r\n", "Some.Release-GRP"},
      {"type=dir;perm=el; VCD\n", "VCD"},
      {"type=file; odd; name; \r\n", "odd; name; "},
      {"; x", "x"},
      {"type=file;size=1;no-blank-name\r\n", ""},
      {"type=file;", ""},
      {";", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ferrynet::listing_name(c.line, std::strlen(c.line), ferrynet::kListingFacts), c.name) << c.line;
}

std::string filtered(ferrynet::ListingFilter& f, const std::string& input) {
  std::string out;
  auto emit = [&](const char* p, size_t n) {
    out.append(p, n);
    return true;
  };
  EXPECT_TRUE(f.feed(input.data(), input.size(), emit));
  EXPECT_TRUE(f.finish(emit));
  return out;
}

TEST(ListingFilter, KindSetAfterTheFilterWasMadeDecidesTheFirstLine) {
  // The bounce is made before the listing command names the kind.
  std::atomic<int> kind{ferrynet::kListingLong};
  ferrynet::SeenNames seen;
  ferrynet::ListingFilter first(seen, &kind), second(seen, &kind);
  kind.store(ferrynet::kListingNames);
  // "total.nfo" is a file in a name listing, and short names are compared.
  EXPECT_EQ(filtered(first, "total.nfo\r\na\r\nb\r\na\r\n"), "total.nfo\r\na\r\nb\r\n");
  EXPECT_EQ(filtered(second, "b\r\nc\r\ntotal.nfo\r\n"), "c\r\n");
}

TEST(ListingFilter, FactsListingsOfTwoSitesMergeByName) {
  std::atomic<int> kind{ferrynet::kListingFacts};
  ferrynet::SeenNames seen;
  ferrynet::ListingFilter a(seen, &kind), b(seen, &kind);
  EXPECT_EQ(filtered(a, "type=cdir; .\r\ntype=file;size=1; x\r\n"), "type=cdir; .\r\ntype=file;size=1; x\r\n");
  // Other facts, same names: dropped; a line without a name passes.
  EXPECT_EQ(filtered(b, "type=cdir;perm=el; .\r\ntype=file;size=9; x\r\ntype=file;size=2; y\r\nbroken\r\n"),
            "type=file;size=2; y\r\nbroken\r\n");
}

}  // namespace
