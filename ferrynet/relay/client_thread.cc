#include "ferrynet/relay/client_thread.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/net.h"
#include "ferrynet/core/tls_setup.h"
#include "ferrynet/relay/ident.h"
#include "ferrynet/core/proxy_intake.h"
#include "ferrynet/relay/relay_loop.h"
#include "ferrynet/relay/site_choice.h"
#include "ferrynet/session/admission.h"
#include "ferrynet/session/client_table.h"
#include "ferrynet/session/session.h"
#include "ferrynet/session/shared_state.h"
#include "ferrynet/session/site_health.h"

namespace ferrynet {

namespace {

// Said before the client is dropped, so that it does not wait for a greeting
// or take the closed connection for a network fault.
constexpr const char kSiteUnreachable[] = "421 Site %d is unreachable, try again later.\r\n";
constexpr const char kLoginExpired[] = "421 Login not completed in time (%u s).\r\n";

void identify(Client& c, uint16_t listen_port) {
  if (config().checkident != 1) return;
  std::lock_guard<std::mutex> hold(c.lock);
  const int port = c.client_addr.port();
  if (ident_lookup(c.ident_user, listen_port, c.client_addr) == 1)
    log_line('i', "ident %s@%s:%d\n", c.ident_user->c_str(), c.client_ip.c_str(), port);
  else
    log_line('e', "ident lookup on %s:%d failed\n", c.client_ip.c_str(), port);
}

// Connects every site at once, or with `sitedown degrade` those that
// answer; false when the client has to be dropped.
bool connect_sites(Client& c) {
  const int n = config().sitecount < kMaxSites ? config().sitecount : kMaxSites;
  const bool degrade = config().sitedown == kSiteDownDegrade;
  SiteHealth* health = c.services ? c.services->health : nullptr;
  SiteAddress targets[kMaxSites];
  choose_site_addresses(targets, n);
  std::lock_guard<std::mutex> hold(c.lock);
  for (int i = 0; i < n; ++i) {
    if (!targets[i].usable()) {
      log_line('e', "cannot choose IP to relay to\n");
      c.client_conn.send_line(kSiteUnreachable, i + 1);
      if (Metrics* m = metrics_of(c)) m->refused(Refusal::kSiteDown);
      return false;
    }
  }
  if (c.ended.load() || c.login_expired.load()) return false;
  const int client_port = c.client_addr.port();
  const std::optional<std::string> bind_to = site_side_address(c);
  ConnectRequest requests[kMaxSites];
  ConnectOutcome sites[kMaxSites];
  int site_of[kMaxSites];
  int count = 0;
  int first_left_out = -1;
  for (int i = 0; i < n; ++i) {
    // No login waits on a site already known to be down.
    if (degrade && health && !health->should_try(i)) {
      log_line('r', "client from %s:%d goes without site %d: down, next try in at most %lld s\n", c.client_ip.c_str(),
               client_port, i + 1, static_cast<long long>(health->backoff(i).count()));
      if (first_left_out < 0) first_left_out = i;
      continue;
    }
    log_line('r', "control connection to %s:%d\n", targets[i].host->c_str(), static_cast<int>(targets[i].port));
    requests[count] = ConnectRequest{targets[i].host->c_str(), targets[i].port, bind_to ? bind_to->c_str() : nullptr, 0};
    site_of[count++] = i;
  }
  connect_together(requests, sites, count, static_cast<int>(config().connectiontimeout));
  int refused = -1;
  bool full = false;
  for (int k = 0; k < count; ++k) {
    const int i = site_of[k];
    const char* host = targets[i].host->c_str();
    const int port = targets[i].port;
    if (!sites[k].ok()) {
      log_line('e', "failed to relay client from %s:%d to %s:%d (%s)\n", c.client_ip.c_str(), client_port, host,
               port, std::strerror(sites[k].error));
      // Out of descriptors or buffers here: the site is fine, this daemon is full.
      const int err = sites[k].error;
      if (err == EMFILE || err == ENFILE || err == ENOBUFS) full = true;
      const char* why = err == ETIMEDOUT ? "no connection in time" : std::strerror(err);
      if (health && !full) health->mark_down(i, why);
      if (Metrics* m = metrics_of(c)) m->site_connect_failed(i);
      if (degrade)
        log_line('r', "client from %s:%d goes without site %d: %s\n", c.client_ip.c_str(), client_port, i + 1, why);
      if (refused < 0) refused = i;
      if (first_left_out < 0 || i < first_left_out) first_left_out = i;
      continue;
    }
    log_line('r', "successfully relayed client from %s:%d to %s:%d\n", c.client_ip.c_str(), client_port, host,
             port);
  }
  if (refused >= 0 && (!degrade || full)) {
    // Counted before the client hears it: what it reads next may be the page.
    if (Metrics* m = metrics_of(c)) m->refused(Refusal::kSiteDown);
    if (full)
      c.client_conn.send_line("%s", refusal_line(Verdict::kTooManyClients));
    else
      c.client_conn.send_line(kSiteUnreachable, refused + 1);
    return false;
  }
  c.site_count = 0;
  for (int k = 0; k < count; ++k) {
    if (!sites[k].ok()) continue;
    const int i = site_of[k];
    sites[k].conn.send_without_delay();
    const int slot = c.site_count++;
    c.site_number[slot] = i;
    c.site_conn[slot] = std::move(sites[k].conn);
    c.site_addr[slot] = sites[k].to;
    c.site_tls_name[slot] = site_tls_name(targets[i]);
  }
  if (c.site_count == 0) {
    if (Metrics* m = metrics_of(c)) m->refused(Refusal::kSiteDown);
    c.client_conn.send_line(kSiteUnreachable, (first_left_out < 0 ? 0 : first_left_out) + 1);
    return false;
  }
  return !c.ended.load();
}

void say_login_expired(Client& c) {
  std::lock_guard<std::mutex> hold(c.lock);
  const unsigned limit = config().logintimeout;
  c.client_conn.send_line(kLoginExpired, limit);
  log_line('c', "client from %s port %d did not log in within %u s\n", c.client_ip.c_str(),
           static_cast<int>(c.client_addr.port()), limit);
  if (Metrics* m = metrics_of(c)) m->refused(Refusal::kLoginTimeout);
}

// A trusted load balancer names the client it carries before anything else
// happens; from then on that client stands in for the balancer everywhere,
// and an ident lookup names the port the client connected to. False: the
// connection closes unanswered.
void refuse_here(Client& c, Verdict verdict) {
  c.client_conn.write_all(refusal_line(verdict), 0);
  log_line('c', "refused client from %s port %d: %s\n", c.client_addr.host().c_str(),
           static_cast<int>(c.client_addr.port()), refusal_reason(verdict));
  if (Metrics* m = metrics_of(c)) m->refused(refusal_kind(verdict));
}

bool take_proxy_header(Client& c, uint16_t& ident_port, bool& named) {
  std::lock_guard<std::mutex> hold(c.lock);
  ProxyHeader header;
  if (!read_proxy_header(c.client_conn, c.client_addr, header)) {
    if (Metrics* m = metrics_of(c)) m->refused(Refusal::kProxyHeader);
    return false;
  }
  // The balancer's own connection (a health check) stays its own.
  if (!header.has_addresses) return true;
  named = true;
  log_line('c', "PROXY header from %s port %d names client %s port %d\n", c.client_addr.host().c_str(),
           static_cast<int>(c.client_addr.port()), header.source.host().c_str(),
           static_cast<int>(header.source.port()));
  c.client_addr = header.source;
  ident_port = header.destination.port();
  const Verdict verdict = admission().place(c, header.source);
  if (verdict == Verdict::kAdmitted) return true;
  refuse_here(c, verdict);
  return false;
}

// Counted across the instances sharing a store; while it is away (0), the
// local count admission() kept stands.
bool admitted_everywhere(Client& c, SharedState& shared) {
  const uint32_t limit = config().maxclientsperip;
  const uint32_t holding = shared.begin(reinterpret_cast<uintptr_t>(&c), c.client_ip);
  if (limit == 0 || holding <= limit) return true;
  std::lock_guard<std::mutex> hold(c.lock);
  refuse_here(c, Verdict::kTooManyFromHost);
  return false;
}

// With implicit TLS the client shakes hands first: one that never does (a
// plain client, a port scanner) must not cost a session on every site.
bool secure_implicit_client(Client& c) {
  if (config().clienttls != kClientTlsImplicit) return true;
  const std::shared_ptr<const TlsContext>& ctx = tls_contexts().for_clients;
  std::string why = "no TLS context";
  if (ctx && c.client_conn.start_tls(*ctx, kTlsHandshakeSeconds * 1000, nullptr, &why) == TlsResult::ok) return true;
  log_line('e', "TLS handshake with client %s failed (%s)\n", c.client_ip.c_str(), why.c_str());
  return false;
}

}  // namespace

void client_thread_main(std::shared_ptr<Client> c, uint16_t listen_port, bool proxied) {
  pthread_detach(pthread_self());
  uint16_t ident_port = listen_port;
  // A balancer's own connection (no client named) is counted for no address.
  bool named = !proxied;
  bool admitted = !proxied || take_proxy_header(*c, ident_port, named);
  SharedState* shared = c->services && named ? c->services->shared : nullptr;
  if (admitted) {
    std::lock_guard<std::mutex> hold(c->lock);
    c->client_ip = c->client_addr.host();
  }
  if (admitted && shared) admitted = admitted_everywhere(*c, *shared);
  Metrics* metrics = metrics_of(*c);
  if (admitted && metrics) metrics->session_started();
  if (admitted) {
    std::lock_guard<std::mutex> hold(c->lock);
    log_line('c', "new client from %s port %d\n", c->client_ip.c_str(), static_cast<int>(c->client_addr.port()));
  }
  if (admitted) identify(*c, ident_port);
  bool told = false;
  if (admitted && !c->login_expired.load() && secure_implicit_client(*c) && connect_sites(*c)) {
    // Published before the check below: either the watchdog sees the site
    // connections and shuts them down, or this thread sees the flag.
    c->sites_connected.store(true);
    if (!c->login_expired.load()) told = relay_loop(*c);
  }
  if (admitted && c->login_expired.load() && !c->ended.load() && !told) say_login_expired(*c);
  admission().release(*c);
  if (shared) shared->end(reinterpret_cast<uintptr_t>(c.get()));
  if (admitted && metrics) metrics->session_ended();
  // Ended by shutdown: the table no longer holds it and the process is leaving.
  if (c->ended.load()) return;
  client_table().remove(c);
}

}  // namespace ferrynet
