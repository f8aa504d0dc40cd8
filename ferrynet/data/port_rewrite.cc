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
  // daemon already uses toward them, as a dotted quad.
  std::optional<std::string> side = s.site_side_address();
  std::optional<Address> side_address = side ? resolve_host(side->c_str()) : std::nullopt;
  int quad[4];
  if (!side_address || !side_address->quad(quad)) {
    log_line('e', "failed to bind to %s for data transfer\n", side ? side->c_str() : "(no address)");
    return refused(s, nullptr);
  }
  const std::string listen_host = side_address->host();
  plan.listen_address = listen_host.c_str();
  uint16_t ports[kMaxSites] = {};
  if (!start_planned_bounce(s, plan, ports)) return CommandResult::kHandled;

  // The sites hear of the daemon's ports only now that someone accepts on
  // them. The line ends as the client's did: some servers split commands
  // only at CR LF.
  const bool crlf = !line.empty() && line.back() == '\r';
  for (int i = 0; i < plan.count; ++i)
    s.send_site_line(first + i, crlf ? "PORT %d,%d,%d,%d,%d,%d\r\n" : "PORT %d,%d,%d,%d,%d,%d\n", quad[0], quad[1],
                     quad[2], quad[3], ports[i] / 256, ports[i] % 256);
  if (plan.merge)
    s.await_every_site();
  else
    s.await_current_site();
  return CommandResult::kHandled;
}

}  // namespace

CommandResult port_rewrite(Session& s, std::string_view line) {
  if (!s.at_root() && !s.carries_all_data()) return to_current_site(s, line);
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
  if (read != kEprtRead) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line.data());
    return refused(s, read == kEprtOtherFamily ? kEprtFamily : kEprtSyntax);
  }
  if (!acceptable_target(s, target)) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line.data());
    return refused(s, kEprtRefused);
  }
  // The sites are told with PORT: every site knows it, and the daemon's
  // site-side address is IPv4 anyway.
  return bounce_active(s, line, target);
}

}  // namespace ferrynet
