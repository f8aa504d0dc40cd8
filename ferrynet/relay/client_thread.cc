#include "ferrynet/relay/client_thread.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/daemon.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/relay_loop.h"

namespace ferrynet {

int parse_ident_answer(const char* line, unsigned client_port, unsigned listen_port, std::string& user) {
  unsigned a = 0, b = 0;
  char name[kIdentUserMax + 1] = {};
  if (std::sscanf(line, "%u , %u : USERID :%*[^:]:%255s", &a, &b, name) != 3) return -1;
  if (a != client_port || b != listen_port) return -1;
  name[std::strcspn(name, "\r")] = '\0';
  user = name;
  return 1;
}

int ident_lookup(std::optional<std::string>& user, uint16_t listen_port, const sockaddr_in& client_addr) {
  user.reset();
  std::string host = dotted_quad(client_addr.sin_addr.s_addr);
  unsigned client_port = ntohs(client_addr.sin_port);
  sockaddr_in peer{};
  Fd s(connect_timed(&peer, host.c_str(), kIdentPort, nullptr, 0, kIdentSeconds));
  if (!s.valid()) return -1;
  send_line(s.get(), "%u,%u\r\n", client_port, static_cast<unsigned>(listen_port));
  char answer[kIdentLineSize + 1];
  if (read_line(s.get(), answer, kIdentLineSize, kIdentSeconds) <= 0) return -1;
  s.reset();
  std::string name;
  if (parse_ident_answer(answer, client_port, listen_port, name) != 1) return -1;
  user = std::move(name);
  return 1;
}

const char* pick_list_entry(const char* cycleip, int k) {
  if (k < 0) return nullptr;
  const char* p = cycleip;
  while (k > 0) {
    const char* blank = std::strchr(p, ' ');
    if (blank == nullptr) break;
    p = blank + 1;
    --k;
  }
  return k == 0 ? p : nullptr;
}

bool parse_site_entry(const char* entry, SiteAddress& out) {
  char host[256] = {};
  unsigned short port = 0;
  // Parsed to the end of the whole list, not to the next blank: an entry
  // without a colon takes the text up to the next colon as its host.
  if (std::sscanf(entry, "%255[^:]:%hu", host, &port) != 2 || port == 0) return false;
  out.host = host;
  out.port = port;
  return true;
}

namespace {

// One move of cycleindex and the choice it makes; the caller holds cycle_lock.
SiteAddress choose_one_locked(Config& cfg, int n) {
  SiteAddress a;
  if (cfg.siteip) {
    a.host = *cfg.siteip;
    a.port = static_cast<uint16_t>(cfg.siteport & 0xffff);
    return a;
  }
  if (!cfg.bouncemodedown || cfg.bouncemodedown->find('c') == std::string::npos || !cfg.cyclemode) return a;
  const std::string& mode = *cfg.cyclemode;
  if (mode.find('l') != std::string::npos)
    cfg.cycleindex = (cfg.cycleindex + 1) % n;
  else if (mode.find('r') != std::string::npos)
    cfg.cycleindex = static_cast<int32_t>(random() % n);
  else if (mode.find('t') != std::string::npos)
    cfg.cycleindex = 0;
  if (!cfg.cycleip) return a;
  const char* entry = pick_list_entry(cfg.cycleip->c_str(), cfg.cycleindex);
  if (entry == nullptr || !parse_site_entry(entry, a)) return SiteAddress{};
  return a;
}

}  // namespace

void choose_site_addresses(SiteAddress* out, int n) {
  Config& cfg = config();
  std::lock_guard<std::mutex> hold(cfg.cycle_lock);
  for (int i = 0; i < n; ++i) out[i] = choose_one_locked(cfg, cfg.sitecount);
}

std::optional<std::string> choose_bind_address(const Client& c) {
  const Config& cfg = config();
  if (cfg.connip && *cfg.connip == "*") {
    if (c.client_addr.sin_addr.s_addr == resolve_host("127.0.0.1")) return local_host_address();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(c.client_fd.get(), reinterpret_cast<sockaddr*>(&local), &len) == 0)
      return dotted_quad(local.sin_addr.s_addr);
    return cfg.ip;
  }
  return cfg.connip;
}

namespace {

void identify(Client& c) {
  sockaddr_in listen_addr = copy_listen_address();
  if (config().checkident != 1) return;
  std::lock_guard<std::mutex> hold(c.lock);
  unsigned port = ntohs(c.client_addr.sin_port);
  if (ident_lookup(c.ident_user, ntohs(listen_addr.sin_port), c.client_addr) == 1)
    log_line('i', "ident %s@%s:%d\n", c.ident_user->c_str(), c.client_ip.c_str(), static_cast<int>(port));
  else
    log_line('e', "ident lookup on %s:%d failed\n", c.client_ip.c_str(), static_cast<int>(port));
}

// Connects every slot; false when the client has to be dropped.
bool connect_sites(Client& c) {
  const int n = config().sitecount;
  SiteAddress targets[kMaxSites];
  choose_site_addresses(targets, n);
  std::lock_guard<std::mutex> hold(c.lock);
  for (int i = 0; i < n; ++i) {
    if (!targets[i].usable()) {
      log_line('e', "cannot choose IP to relay to\n");
      return false;
    }
  }
  const int client_port = ntohs(c.client_addr.sin_port);
  for (int i = 0; i < n && !c.ended.load(); ++i) {
    const char* host = targets[i].host->c_str();
    const int port = targets[i].port;
    log_line('r', "control connection to %s:%d\n", host, port);
    std::optional<std::string> bind_to = choose_bind_address(c);
    c.site_fd[i].reset(connect_timed(&c.site_addr[i], host, targets[i].port, bind_to ? bind_to->c_str() : nullptr,
                                     0, static_cast<int>(config().connectiontimeout)));
    if (!c.site_fd[i].valid()) {
      log_line('e', "failed to relay client from %s:%d to %s:%d\n", c.client_ip.c_str(), client_port, host, port);
      return false;
    }
    send_without_delay(c.site_fd[i].get());
    log_line('r', "successfully relayed client from %s:%d to %s:%d\n", c.client_ip.c_str(), client_port, host,
             port);
  }
  return !c.ended.load();
}

}  // namespace

void client_thread_main(std::shared_ptr<Client> c) {
  pthread_detach(pthread_self());
  {
    std::lock_guard<std::mutex> hold(c->lock);
    c->client_ip = dotted_quad(c->client_addr.sin_addr.s_addr);
    log_line('c', "new client from %s port %d\n", c->client_ip.c_str(), static_cast<int>(ntohs(c->client_addr.sin_port)));
  }
  identify(*c);
  if (connect_sites(*c)) relay_loop(*c);
  // Ended by shutdown: the table no longer holds it and the process is leaving.
  if (c->ended.load()) return;
  client_table().remove(c);
}

}  // namespace ferrynet
