#include "ferrynet/data/bounce_builder.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/data_bounce.h"

namespace ferrynet {

namespace {

// The client asked and must hear something, or it waits for ever.
constexpr const char kNoDataConnection[] = "425 Cannot open a data connection.\r\n";
constexpr const char kNoFreePort[] = "425 Can't open passive connection: no free port in pasvports.\r\n";

// A listener on a port of [low, high]. The first port tried moves with the
// clock, so that transfers starting together do not all queue for the same one.
std::unique_ptr<Listener> listen_in_range(const char* address, uint16_t low, uint16_t high) {
  const uint32_t span = static_cast<uint32_t>(high - low) + 1;
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  const uint32_t first = static_cast<uint32_t>(static_cast<unsigned long long>(ticks) % span);
  for (uint32_t k = 0; k < span; ++k)
    if (std::unique_ptr<Listener> l = create_listener(address, static_cast<uint16_t>(low + (first + k) % span)))
      return l;
  return nullptr;
}

}  // namespace

void refuse_data_connection(Session& s, bool passive, const char* reply) {
  s.reply(reply ? reply : kNoDataConnection);
  if (!passive) s.await_no_site();
}

bool start_planned_bounce(Session& s, const BouncePlan& plan, uint16_t* ports) {
  const int listen_count = plan.passive ? 1 : plan.count;
  std::unique_ptr<Listener> listeners[kMaxSites];
  const bool ranged = plan.passive && plan.port_low != 0;
  for (int i = 0; i < listen_count; ++i) {
    const char* where = !plan.passive && plan.site_listen[i] ? plan.site_listen[i] : plan.listen_address;
    listeners[i] = ranged ? listen_in_range(where, plan.port_low, plan.port_high) : create_listener(where, 0);
    if (!listeners[i] && ranged) {
      log_line('e', "no free port in pasvports %u-%u on %s for data transfer\n", static_cast<unsigned>(plan.port_low),
               static_cast<unsigned>(plan.port_high), where ? where : "*");
      refuse_data_connection(s, plan.passive, kNoFreePort);
      return false;
    }
    if (!listeners[i]) {
      log_line('e', "failed to bind to %s for data transfer\n", where ? where : "*");
      refuse_data_connection(s, plan.passive);
      return false;
    }
  }
  std::unique_ptr<DataBounce> bounce(new (std::nothrow) DataBounce());
  std::shared_ptr<TransferPlan> transfer(new (std::nothrow) TransferPlan());
  if (!bounce || !transfer) {
    refuse_data_connection(s, plan.passive);
    return false;
  }
  if (!plan.merge) transfer->decide_single_site(plan.first_site);
  bounce->plan = transfer;
  bounce->metrics = s.metrics();
  for (int k = 0; k < plan.count; ++k) bounce->site_numbers[k] = s.site_number(plan.first_site + k);
  bounce->first_site = plan.first_site;
  if (s.client_peer().valid()) bounce->client_peer = s.client_peer();
  for (int k = 0; k < plan.count; ++k)
    if (s.site_peer(plan.first_site + k).valid()) bounce->site_peers[k] = s.site_peer(plan.first_site + k);
  bounce->client_tls = s.client_data_tls();
  bounce->site_tls = s.site_data_tls();
  for (int k = 0; k < plan.count; ++k) {
    bounce->site_stores[k] = s.site_tls_store(plan.first_site + k);
    bounce->site_names[k] = s.site_tls_name(plan.first_site + k);
  }
  bounce->connect_to_sites = plan.passive ? 1 : 0;
  bounce->byte_copy = !plan.merge;
  bounce->sites = plan.count;
  bounce->target_count = plan.passive ? plan.count : 1;
  bounce->timeout_s = kDataWaitSeconds;
  std::snprintf(bounce->client_host, sizeof bounce->client_host, "%s", s.client_ip().c_str());
  bounce->client_port = s.client_peer().port();
  for (int k = 0; k < bounce->target_count; ++k) {
    format_host(plan.targets[k], bounce->hosts[k]);
    bounce->ports[k] = plan.targets[k].port;
  }
  for (int i = 0; i < listen_count; ++i) {
    ports[i] = listeners[i]->port;
    bounce->listen_ports[i] = ports[i];
    bounce->listeners[i] = std::move(listeners[i]);
  }
  bounce->listen_count = listen_count;
  s.begin_transfer(transfer);
  if (int err = start_bounce(std::move(bounce))) {
    log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
    refuse_data_connection(s, plan.passive);
    return false;
  }
  return true;
}

}  // namespace ferrynet
