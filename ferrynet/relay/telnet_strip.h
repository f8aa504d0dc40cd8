// The client's control stream is Telnet's (RFC 854): clients put Telnet
// commands in it, above all the Interrupt Process and Synch before an ABOR.
// Sites must see only the command lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ferrynet {

class TelnetStrip {
 public:
  // Takes the Telnet commands out of `data[0, n)` in place and returns how
  // many bytes are left; a doubled IAC stays as one byte 255. A command cut
  // at the end of one read is finished by the next.
  size_t strip(char* data, size_t n);

 private:
  enum State : uint8_t { kData, kCommand, kOption, kSubnegotiation, kSubnegotiationCommand };
  State state_ = kData;
  size_t sub_bytes_ = 0;  // of the subnegotiation under way
};

}  // namespace ferrynet
