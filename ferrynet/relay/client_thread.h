// The body of a client's thread: announcement, ident, site connections, relay.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <optional>
#include <string>

#include "ferrynet/relay/client.h"

namespace ferrynet {

void client_thread_main(std::shared_ptr<Client> c);

struct SiteAddress {
  std::optional<std::string> host;
  uint16_t port = 0;
  bool usable() const { return host.has_value() && port != 0; }
};

// Chooses the address of every one of `n` slots in one serialised step, so
// that clients arriving together cannot interleave their moves of cycleindex.
void choose_site_addresses(SiteAddress* out, int n);
// Entry k of cycleip (its start, running to the end of the value) or none.
const char* pick_list_entry(const char* cycleip, int k);
// "host:port"; false when the entry does not read or names port 0.
bool parse_site_entry(const char* entry, SiteAddress& out);
// The local address the daemon uses toward the sites, or none.
std::optional<std::string> choose_bind_address(const Client& c);
// RFC 1413 lookup; 1 with `user` set, -1 without.
int ident_lookup(std::optional<std::string>& user, uint16_t listen_port, const sockaddr_in& client_addr);
// Parses one ident answer line for the ports sent; 1 with `user` set.
int parse_ident_answer(const char* line, unsigned client_port, unsigned listen_port, std::string& user);

}  // namespace ferrynet
