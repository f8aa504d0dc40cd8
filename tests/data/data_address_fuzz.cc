// Site replies and client commands of any bytes: the parsers stay inside the
// input and accept only addresses of four bytes and a 16-bit port.
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
  for (bool (*parse)(const char*, size_t, ferrynet::DataTarget&) :
       {ferrynet::parse_pasv_reply, ferrynet::parse_port_command}) {
    if (!parse(text.get(), size, t)) continue;
    for (int q : t.quad)
      if (q < 0 || q > 255) std::abort();
    char slot[ferrynet::kHostSlot];
    ferrynet::format_host(t, slot);
    int back[4];
    if (!ferrynet::parse_dotted_quad(slot, back) || std::memcmp(back, t.quad, sizeof back) != 0) std::abort();
  }
  return 0;
}
