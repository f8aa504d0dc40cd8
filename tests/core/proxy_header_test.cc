// PROXY headers of both versions: what is read, how much is asked for before
// the whole has come (never a byte past it), what is refused; and the
// address blocks that say whose headers are honoured.
#include "ferrynet/core/proxy_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "ferrynet/core/address_block.h"

using ferrynet::ProxyHeader;
using ferrynet::ProxyParse;

namespace {

// Parses an exact copy, so a read past its end is caught by the sanitizers.
ProxyParse parse(const std::string& bytes, size_t& needed, ProxyHeader& out) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  return ferrynet::parse_proxy_header(exact.get(), bytes.size(), needed, out);
}

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string v2(uint8_t command, uint8_t family, const std::string& body) {
  std::string h = kSignature;
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(body.size() >> 8);
  h += static_cast<char>(body.size() & 0xFF);
  return h + body;
}

// 192.0.2.7 port 40000 to 198.51.100.1 port 21.
const std::string kInetBody("\xC0\x00\x02\x07\xC6\x33\x64\x01\x9C\x40\x00\x15", 12);

// Feeds `header` and then what follows it as the daemon's reader would: only
// the bytes the parser asks for. The header must end exactly at its length.
void expect_read_exactly(const std::string& header, ProxyHeader& out) {
  const std::string stream = header + "USER joe\r\n";
  size_t have = 0, needed = 0;
  for (int steps = 0; steps < 200; ++steps) {
    ProxyParse r = parse(stream.substr(0, have), needed, out);
    if (r == ProxyParse::kDone) {
      EXPECT_EQ(needed, header.size());
      return;
    }
    ASSERT_EQ(r, ProxyParse::kNeedMore) << "after " << have << " bytes";
    ASSERT_GT(needed, have);
    ASSERT_LE(needed, header.size()) << "asked past the header after " << have << " bytes";
    have = needed;
  }
  FAIL() << "never complete";
}

TEST(ProxyHeaderV1, ReadsBothFamiliesAndStopsAtTheLineEnd) {
  ProxyHeader h;
  expect_read_exactly("PROXY TCP4 192.0.2.7 198.51.100.1 40000 21\r\n", h);
  ASSERT_TRUE(h.has_addresses);
  EXPECT_EQ(h.source.host(), "192.0.2.7");
  EXPECT_EQ(h.source.port(), 40000);
  EXPECT_EQ(h.destination.host(), "198.51.100.1");
  EXPECT_EQ(h.destination.port(), 21);
  expect_read_exactly("PROXY TCP6 2001:db8::7 2001:db8::1 65535 2121\r\n", h);
  ASSERT_TRUE(h.has_addresses);
  EXPECT_EQ(h.source.host(), "2001:db8::7");
  EXPECT_EQ(h.source.port(), 65535);
  // The shortest header of all, and one whose fields after UNKNOWN are ignored.
  for (const char* unknown : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n"}) {
    expect_read_exactly(unknown, h);
    EXPECT_FALSE(h.has_addresses) << unknown;
  }
}

TEST(ProxyHeaderV1, RefusesMalformedLines) {
  const std::string too_long = "PROXY UNKNOWN " + std::string(100, 'x') + "\r\n";
  for (const std::string& bad :
       {std::string("PROXY TCP4 192.0.2.7 198.51.100.1 40000 21\n"), std::string("PROXY TCP4 192.0.2.7 198.51.100.1 40000\r\n"),
        std::string("PROXY TCP4 192.0.2.7 198.51.100.1 40000 21 9\r\n"), std::string("PROXY TCP4 192.0.2.7 198.51.100.1 65536 21\r\n"),
        std::string("PROXY TCP4 192.0.2.7  198.51.100.1 40000 21\r\n"), std::string("PROXY TCP6 192.0.2.7 198.51.100.1 1 2\r\n"),
        std::string("PROXY TCP4 ::1 ::1 1 2\r\n"), std::string("PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n"),
        std::string("PROXY TCP4 192.0.2.7 198.51.100.1 -1 2\r\n"), std::string("PROXY \r\n"),
        std::string("PROXY TCP4 192.0.2.7\r198.51.100.1 1 2\r\n"), std::string("proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n"),
        std::string("USER joe\r\n"), too_long}) {
    size_t needed = 0;
    ProxyHeader h;
    EXPECT_EQ(parse(bad, needed, h), ProxyParse::kInvalid) << bad;
  }
  // 107 bytes without a line end can never become a header.
  size_t needed = 0;
  ProxyHeader h;
  EXPECT_EQ(parse(std::string("PROXY UNKNOWN ") + std::string(93, 'x'), needed, h), ProxyParse::kInvalid);
}

TEST(ProxyHeaderV2, ReadsProxyAndLocalAndSkipsExtensions) {
  ProxyHeader h;
  // An ALPN extension and a no-op extension after the addresses.
  expect_read_exactly(v2(0x1, 0x11, kInetBody + std::string("\x01\x00\x03" "ftp\x04\x00\x00", 9)), h);
  ASSERT_TRUE(h.has_addresses);
  EXPECT_EQ(h.source.host(), "192.0.2.7");
  EXPECT_EQ(h.source.port(), 40000);
  EXPECT_EQ(h.destination.host(), "198.51.100.1");
  EXPECT_EQ(h.destination.port(), 21);
  std::string six(36, '\0');
  six[0] = '\x20', six[1] = '\x01', six[15] = '\x07', six[16] = '\x20', six[17] = '\x01', six[31] = '\x01';
  six[32] = '\x04', six[33] = '\x00', six[34] = '\x00', six[35] = '\x15';
  expect_read_exactly(v2(0x1, 0x21, six), h);
  ASSERT_TRUE(h.has_addresses);
  EXPECT_EQ(h.source.host(), "2001::7");
  EXPECT_EQ(h.source.port(), 1024);
  // A balancer's health check carries addresses that are not read.
  expect_read_exactly(v2(0x0, 0x11, kInetBody), h);
  EXPECT_FALSE(h.has_addresses);
  expect_read_exactly(v2(0x1, 0x00, ""), h);
  EXPECT_FALSE(h.has_addresses);
}

TEST(ProxyHeaderV2, RefusesWhatDoesNotFit) {
  std::string wrong_version = v2(0x1, 0x11, kInetBody);
  wrong_version[12] = '\x11';
  std::string broken_signature = v2(0x1, 0x11, kInetBody);
  broken_signature[11] = 'X';
  for (const std::string& bad : {v2(0x2, 0x11, kInetBody), wrong_version, broken_signature, v2(0x1, 0x12, kInetBody),
                                 v2(0x1, 0x41, kInetBody), v2(0x1, 0x13, kInetBody), v2(0x1, 0x11, kInetBody.substr(0, 11)),
                                 v2(0x1, 0x21, kInetBody), v2(0x1, 0x11, kInetBody + std::string("\x01\x00\x05" "ftp", 6)),
                                 v2(0x1, 0x11, kInetBody + std::string("\x04\x00", 2))}) {
    size_t needed = 0;
    ProxyHeader h;
    EXPECT_EQ(parse(bad, needed, h), ProxyParse::kInvalid);
  }
}

TEST(AddressBlocks, MatchHostsAndPrefixesOfEitherFamily) {
  auto blocks = ferrynet::parse_address_blocks("10.1.0.0/16 127.0.0.3  2001:db8::/33\t::1");
  ASSERT_TRUE(blocks);
  auto in = [&](const char* host) { return ferrynet::any_contains(*blocks, *ferrynet::Address::parse(host, 1)); };
  EXPECT_TRUE(in("10.1.255.9"));
  EXPECT_FALSE(in("10.2.0.1"));
  EXPECT_TRUE(in("127.0.0.3"));
  EXPECT_FALSE(in("127.0.0.2"));
  EXPECT_TRUE(in("::ffff:127.0.0.3"));  // an IPv4 peer on a dual-stack socket
  EXPECT_TRUE(in("2001:db8:7fff::1"));
  EXPECT_FALSE(in("2001:db8:8000::1"));
  EXPECT_TRUE(in("::1"));
  EXPECT_FALSE(in("::2"));
  for (const char* bad : {"", " ", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0/8", "example.org", "10.0.0.1/8x",
                          "10.0.0.1\r"})
    EXPECT_FALSE(ferrynet::parse_address_blocks(bad)) << bad;
}

}  // namespace
