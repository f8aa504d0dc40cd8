#include "ferrynet/session/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/net.h"
#include "ferrynet/core/tls_setup.h"

namespace ferrynet {

namespace {

// send_line's bound: a formatted line is cut at 1024 characters.
long send_formatted(Connection& to, const char* format, va_list args) {
  char line[kSendLineMax + 1] = {};
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) return -1;
  size_t len = n > kSendLineMax ? kSendLineMax : static_cast<size_t>(n);
  return to.write_all(line, len, kControlWriteSeconds * 1000) ? static_cast<long>(len) : -1;
}

}  // namespace

int Session::configured_sites() const { return config().sitecount < kMaxSites ? config().sitecount : kMaxSites; }

int Session::slot_of(int site) const {
  for (int k = 0; k < site_count(); ++k)
    if (c_.site_number[k] == site) return k;
  return -1;
}

int Session::first_missing_site() const {
  for (int site = 0; site < configured_sites(); ++site)
    if (slot_of(site) < 0) return site;
  return -1;
}

void Session::say_site_down(int site) {
  reply_line(kSiteDownLine, site + 1);
  await_no_site();
}

bool Session::at_root() const { return std::strcmp(st_.cwd, "/") == 0; }

bool Session::reply(std::string_view text) { return c_.client_conn.write_all(text, kControlWriteSeconds * 1000); }

long Session::reply_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  long r = send_formatted(c_.client_conn, format, args);
  va_end(args);
  return r;
}

bool Session::send_site(int site, std::string_view text) {
  if (site < 0 || site >= site_count()) return false;
  return c_.site_conn[site].write_all(text, kControlWriteSeconds * 1000);
}

long Session::send_site_line(int site, const char* format, ...) {
  if (site < 0 || site >= site_count()) return -1;
  va_list args;
  va_start(args, format);
  long r = send_formatted(c_.site_conn[site], format, args);
  va_end(args);
  return r;
}

bool Session::relay_line(int site, std::string_view line) {
  return send_site_line(site, "%.*s\n", static_cast<int>(line.size()), line.data()) >= 0;
}

void Session::await_every_site() {
  for (int i = 0; i < kMaxSites; ++i) st_.awaited[i] = i < site_count();
}

void Session::await_current_site() { await_only(st_.current_site); }

void Session::await_only(int site) {
  for (int i = 0; i < kMaxSites; ++i) st_.awaited[i] = i == site && i < site_count();
}

void Session::await_no_site() {
  for (bool& a : st_.awaited) a = false;
}

bool Session::secure_client(std::string* error) {
  const std::shared_ptr<const TlsContext>& ctx = tls_contexts().for_clients;
  if (!ctx) return false;
  const bool ok = c_.client_conn.start_tls(*ctx, kTlsHandshakeSeconds * 1000, nullptr, error) == TlsResult::ok;
  // A client whose handshake failed cannot go on: its session ends here.
  if (Metrics* m = metrics()) {
    m->tls_handshake(TlsLeg::kClient, ok);
    if (!ok) m->refused(Refusal::kTls);
  }
  return ok;
}

bool Session::carries_all_data() const {
  return config().bouncedata || config().sitetls || st_.client_prot_private;
}

std::shared_ptr<const TlsContext> Session::client_data_tls() const {
  return st_.client_prot_private ? tls_contexts().for_clients : nullptr;
}

std::shared_ptr<const TlsContext> Session::site_data_tls() const {
  return config().sitetls ? tls_contexts().for_sites : nullptr;
}

void Session::begin_transfer(const std::shared_ptr<TransferPlan>& plan) {
  std::vector<std::weak_ptr<TransferPlan>> live;
  for (std::weak_ptr<TransferPlan>& w : st_.transfers)
    if (std::shared_ptr<TransferPlan> p = w.lock())
      if (!p->cancel_if_undecided()) live.push_back(p);
  live.push_back(plan);
  st_.transfers = std::move(live);
  st_.transfer = plan;
}

void Session::end_transfers() {
  for (std::weak_ptr<TransferPlan>& w : st_.transfers)
    if (std::shared_ptr<TransferPlan> p = w.lock()) p->cancel();
  st_.transfers.clear();
  st_.transfer.reset();
}

std::optional<std::string> Session::site_side_address() const { return ferrynet::site_side_address(c_); }

std::optional<std::string> site_side_address(const Client& c) {
  const Config& cfg = config();
  if (cfg.connip && *cfg.connip == "*") {
    std::optional<Address> loopback = Address::parse("127.0.0.1", 0);
    if (loopback && c.client_addr.same_host(*loopback)) return local_host_address();
    if (std::optional<Address> local = c.client_conn.local()) return local->host();
    return cfg.ip;
  }
  return cfg.connip;
}

}  // namespace ferrynet
