// Which site each of a client's control connections goes to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ferrynet {

struct SiteAddress {
  std::optional<std::string> host;
  uint16_t port = 0;
  int entry = 0;  // its place in cycleip (0 for siteip)
  bool usable() const { return host.has_value() && port != 0; }
};

// Chooses the address of every one of `n` slots in one serialised step, so
// that clients arriving together cannot interleave their moves of cycleindex.
void choose_site_addresses(SiteAddress* out, int n);
// Entry k of cycleip (its start, running to the end of the value) or none.
const char* pick_list_entry(const char* cycleip, int k);
// "host:port", or "[IPv6 literal]:port"; false when the entry does not read
// or names port 0.
bool parse_site_entry(const char* entry, SiteAddress& out);
// The name a site's TLS certificate must hold: `sitetlsnames` for its entry,
// else its host as written (an IPv6 literal without its brackets).
std::string site_tls_name(const SiteAddress& a);

}  // namespace ferrynet
