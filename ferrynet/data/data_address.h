// The host-and-port numbers of PASV replies and PORT commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferrynet/data/data_limits.h"

namespace ferrynet {

struct DataTarget {
  int quad[4] = {};
  uint16_t port = 0;
};

// A site's "227 text(h1,h2,h3,h4,p1,p2)" reply, read from its first line
// only; false unless it holds six numbers of 0 to 255.
bool parse_pasv_reply(const char* text, size_t len, DataTarget& out);
// A client's "PORT h1,h2,h3,h4,p1,p2" (capital letters); same bounds.
bool parse_port_command(const char* text, size_t len, DataTarget& out);
// "a.b.c.d" into four numbers of 0 to 255.
bool parse_dotted_quad(const char* text, int quad[4]);
// Writes the dotted quad of `t` into a slot of kHostSlot characters.
void format_host(const DataTarget& t, char (&slot)[kHostSlot]);

}  // namespace ferrynet
