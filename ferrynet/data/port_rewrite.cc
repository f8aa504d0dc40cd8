#include "ferrynet/data/port_rewrite.h"

#include <cstring>
#include <optional>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/bounce_builder.h"
#include "ferrynet/data/data_address.h"

namespace ferrynet {

namespace {

constexpr const char kPortUnreadable[] = "501 Syntax error in PORT command.\r\n";
constexpr const char kPortRefused[] = "504 PORT must name your own address and a port from 1024 up.\r\n";
constexpr const char kEprtSyntax[] = "501 Syntax error in EPRT command.\r\n";
constexpr const char kEprtRefused[] = "504 EPRT must name your own address and a port from 1024 up.\r\n";
constexpr const char kEprtFamily[] = "522 Network protocol not supported, use (1)\r\n";
// An IPv6 client's data address can only be named with EPRT, protocol 2.
constexpr const char kEprtFamilyIpv6[] = "522 Network protocol not supported, use (2)\r\n";
constexpr const char kPortIpv6[] = "501 PORT cannot name an IPv6 address, use EPRT.\r\n";

// The command for the log, without the CR it came with.
int printable_length(std::string_view line) {
  size_t len = line.size();
  while (len > 0 && line[len - 1] == '\r') --len;
  return static_cast<int>(len);
}

CommandResult refused(Session& s, const char* reply) {
  refuse_data_connection(s, false, reply);
  return CommandResult::kHandled;
}

// Only the current site hears the command and is awaited.
CommandResult to_current_site(Session& s, std::string_view line) {
  s.relay_line(s.current_site(), line);
  s.await_current_site();
  return CommandResult::kHandled;
}

// Security: the daemon connects out to what the client names. Only the
// client's own address and an unprivileged port keep it from being used to
// reach other hosts or services in the client's place.
bool acceptable_target(const Session& s, const DataTarget& target) {
  char named[kHostSlot];
  format_host(target, named);
  return s.client_ip() == named && target.port >= kLowestDataPort;
}

// Gives the sites (every one at "/", the current one elsewhere, as a plain
// copy) ports of the daemon and bounces them to the client's `target`.
CommandResult bounce_active(Session& s, std::string_view line, const DataTarget& target) {
  BouncePlan plan;
  plan.passive = false;
  plan.merge = s.at_root();
  plan.count = plan.merge ? s.site_count() : 1;
  const int first = plan.merge ? 0 : s.current_site();
  plan.first_site = first;
  plan.targets[0] = target;

  // The sites must be able to reach what they are told: the address the
  // daemon already uses toward them, or, for a site of the other family,
  // the daemon's end of that site's control connection.
  std::optional<std::string> side = s.site_side_address();
  std::optional<Address> side_address = side ? resolve_host(side->c_str()) : std::nullopt;
  if (!side_address) {
    log_line('e', "failed to bind to %s for data transfer\n", side ? side->c_str() : "(no address)");
    return refused(s, nullptr);
  }
  Address told[kMaxSites];
  std::string listen_hosts[kMaxSites];
  for (int k = 0; k < plan.count; ++k) {
    const Address& peer = s.site_peer(first + k);
    std::optional<Address> own = side_address;
    if (peer.valid() && peer.family() != side_address->family()) own = s.site_local(first + k);
    if (!own || (own->is_ipv6() && !peer.is_ipv6())) {
      log_line('e', "failed to bind to %s for data transfer\n", side->c_str());
      return refused(s, nullptr);
    }
    told[k] = *own;
    listen_hosts[k] = own->host();
    plan.site_listen[k] = listen_hosts[k].c_str();
  }
  plan.listen_address = plan.site_listen[0];
  uint16_t ports[kMaxSites] = {};
  if (!start_planned_bounce(s, plan, ports)) return CommandResult::kHandled;

  // The sites hear of the daemon's ports only now that someone accepts on
  // them. The line ends as the client's did: some servers split commands
  // only at CR LF.
  const bool crlf = !line.empty() && line.back() == '\r';
  for (int i = 0; i < plan.count; ++i) {
    int quad[4];
    if (told[i].quad(quad))
      s.send_site_line(first + i, crlf ? "PORT %d,%d,%d,%d,%d,%d\r\n" : "PORT %d,%d,%d,%d,%d,%d\n", quad[0], quad[1],
                       quad[2], quad[3], ports[i] / 256, ports[i] % 256);
    else
      s.send_site_line(first + i, crlf ? "EPRT |2|%s|%d|\r\n" : "EPRT |2|%s|%d|\n", listen_hosts[i].c_str(),
                       static_cast<int>(ports[i]));
  }
  if (plan.merge)
    s.await_every_site();
  else
    s.await_current_site();
  return CommandResult::kHandled;
}

}  // namespace

CommandResult port_rewrite(Session& s, std::string_view line) {
  if (!s.at_root() && !s.carries_all_data()) return to_current_site(s, line);
  if (s.client_peer().is_ipv6()) return refused(s, kPortIpv6);
  DataTarget target;
  if (!parse_port_command(line.data(), line.size(), target)) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line.data());
    return refused(s, kPortUnreadable);
  }
  if (!acceptable_target(s, target)) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line.data());
    return refused(s, kPortRefused);
  }
  return bounce_active(s, line, target);
}

CommandResult eprt_rewrite(Session& s, std::string_view line) {
  if (!s.at_root() && !s.carries_all_data()) return to_current_site(s, line);
  DataTarget target;
  EprtResult read = parse_eprt_command(line.data(), line.size(), target);
  // Only the client's own family can name its own address.
  const bool six = s.client_peer().is_ipv6();
  if (read == kEprtRead && target.ipv6 != six) read = kEprtOtherFamily;
  if (read == kEprtBadIpv6) read = six ? kEprtUnreadable : kEprtOtherFamily;
  if (read != kEprtRead) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line.data());
    if (read == kEprtOtherFamily) return refused(s, six ? kEprtFamilyIpv6 : kEprtFamily);
    return refused(s, kEprtSyntax);
  }
  // Some clients name their data socket's unbound address ("::"): only the
  // client's own address can be meant, and that one is safe to connect to.
  static const uint8_t unspecified[16] = {};
  if (target.ipv6 && std::memcmp(target.ipv6_bytes, unspecified, 16) == 0)
    s.client_peer().ipv6_bytes(target.ipv6_bytes);
  if (!acceptable_target(s, target)) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line.data());
    return refused(s, kEprtRefused);
  }
  // The sites are told with PORT, every IPv4 site knows it; IPv6 sites with EPRT.
  return bounce_active(s, line, target);
}

}  // namespace ferrynet
