// Client EPRT arguments of any bytes: the parser stays inside the input and
// accepts only addresses of four bytes or IPv6 literals and a port from 1 up.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ferrynet/data/data_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so a read past the end is caught.
  std::unique_ptr<char[]> text(new char[size ? size : 1]);
  if (size) std::memcpy(text.get(), data, size);
  ferrynet::DataTarget t;
  ferrynet::EprtResult r = ferrynet::parse_eprt_command(text.get(), size, t);
  if (r != ferrynet::kEprtRead) return 0;
  if (t.port == 0) std::abort();
  char slot[ferrynet::kHostSlot];
  ferrynet::format_host(t, slot);
  if (t.ipv6) {
    uint8_t bytes[16];
    if (inet_pton(AF_INET6, slot, bytes) != 1 || std::memcmp(bytes, t.ipv6_bytes, sizeof bytes) != 0) std::abort();
    return 0;
  }
  for (int q : t.quad)
    if (q < 0 || q > 255) std::abort();
  int back[4];
  if (!ferrynet::parse_dotted_quad(slot, back) || std::memcmp(back, t.quad, sizeof back) != 0) std::abort();
  return 0;
}
