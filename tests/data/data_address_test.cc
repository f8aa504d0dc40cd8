// PASV replies and PORT commands: what reads as an address and what does not.
#include "ferrynet/data/data_address.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using ferrynet::DataTarget;

namespace {

// A copy with nothing after its last byte, so a read past it is caught.
bool pasv(const std::string& text, DataTarget& t) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  return ferrynet::parse_pasv_reply(exact.get(), text.size(), t);
}
bool port(const std::string& text, DataTarget& t) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  return ferrynet::parse_port_command(exact.get(), text.size(), t);
}
std::string host(const DataTarget& t) {
  char slot[ferrynet::kHostSlot];
  ferrynet::format_host(t, slot);
  return slot;
}

TEST(PasvReply, SixNumbersAfterTextAndParenthesis) {
  DataTarget t;
  ASSERT_TRUE(pasv("227 Entering Passive Mode (10,0,0,1,4,1).\r\n", t));
  EXPECT_EQ(host(t), "10.0.0.1");
  EXPECT_EQ(t.port, 1025);
  ASSERT_TRUE(pasv("227 =(10,0,0,2,3,10", t));
  EXPECT_EQ(host(t), "10.0.0.2");
  EXPECT_EQ(t.port, 778);
  ASSERT_TRUE(pasv("227 ok (127,0,0,1, 195, 80)\n", t));
  EXPECT_EQ(t.port, 50000);
}

TEST(PasvReply, RejectsWhatDoesNotReadAsSixBytes) {
  DataTarget t;
  for (const char* bad : {"227 (10,0,0,1,4,1)\r\n", "227 Entering (10,0,0,1,4)\r\n", "227 Entering (1,2,3,4,5,256)",
                          "227 Entering (1,2,-3,4,5,6)", "227 Entering (1,2,3 ,4,5,6)", "228 Entering (1,2,3,4,5,6)",
                          "227 Entering\r\n(1,2,3,4,5,6)\r\n", "227 Entering (", "22", "",
                          "227 Entering (99999999999999999999,0,0,1,4,1)"})
    EXPECT_FALSE(pasv(bad, t)) << bad;
}

TEST(PortCommand, CapitalPortAndSixNumbers) {
  DataTarget t;
  ASSERT_TRUE(port("PORT 192,168,1,5,19,137\r", t));
  EXPECT_EQ(host(t), "192.168.1.5");
  EXPECT_EQ(t.port, 5001);
  ASSERT_TRUE(port("PORT  127, 0,0,1,156,64", t));
  EXPECT_EQ(t.port, 40000);
  for (const char* bad : {"port 192,168,1,5,19,137", "PORT 1,2,3,4,5", "PORT 1,2,3,4,5,", "PORT 1,2,3,4,300,1",
                          "PORT a,b,c,d,e,f", "PORT", ""})
    EXPECT_FALSE(port(bad, t)) << bad;
}

TEST(DottedQuad, ReadsOnlyFourBytes) {
  int q[4];
  ASSERT_TRUE(ferrynet::parse_dotted_quad("127.0.0.1", q));
  EXPECT_EQ(q[0] * 1000 + q[3], 127001);
  EXPECT_FALSE(ferrynet::parse_dotted_quad("127.0.0", q));
  EXPECT_FALSE(ferrynet::parse_dotted_quad("300.0.0.1", q));
  EXPECT_FALSE(ferrynet::parse_dotted_quad("localhost", q));
}

}  // namespace
