#include "ferrynet/relay/telnet_strip.h"

namespace ferrynet {

namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kWill = 251;  // WILL, WONT, DO and DONT name an option
constexpr unsigned char kDont = 254;
constexpr unsigned char kSb = 250;
constexpr unsigned char kSe = 240;
// FTP negotiates nothing: a subnegotiation longer than this never ends, and
// must not swallow the commands behind it.
constexpr size_t kSubnegotiationMax = 256;

}  // namespace

size_t TelnetStrip::strip(char* data, size_t n) {
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (state_) {
      case kData:
        if (c == kIac)
          state_ = kCommand;
        else
          data[out++] = data[i];
        break;
      case kCommand:
        if (c == kIac) {
          data[out++] = data[i];
          state_ = kData;
        } else if (c >= kWill && c <= kDont) {
          state_ = kOption;
        } else if (c == kSb) {
          state_ = kSubnegotiation;
          sub_bytes_ = 0;
        } else {
          // IP, DM, AYT and the other two-byte commands: the line that
          // follows (ABOR) says what the client wants.
          state_ = kData;
        }
        break;
      case kOption:
        state_ = kData;
        break;
      case kSubnegotiation:
        if (c == kIac)
          state_ = kSubnegotiationCommand;
        else if (++sub_bytes_ > kSubnegotiationMax)
          state_ = kData;
        break;
      case kSubnegotiationCommand:
        state_ = c == kSe ? kData : kSubnegotiation;
        break;
    }
  }
  return out;
}

}  // namespace ferrynet
