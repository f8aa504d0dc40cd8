#include "ferrynet/relay/site_choice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ferrynet/core/address.h"
#include "ferrynet/core/config.h"

namespace ferrynet {

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
  if (entry[0] == '[') {
    // An IPv6 literal holds colons of its own; the brackets stay with the
    // host, so logs read "[::1]:21" and the connect takes it as it is.
    if (std::sscanf(entry, "[%253[^]]]:%hu", host, &port) != 2 || port == 0) return false;
    std::optional<Address> six = Address::parse(host, port);
    if (!six || !six->is_ipv6()) return false;
    out.host = std::string("[") + host + "]";
    out.port = port;
    return true;
  }
  // Parsed to the end of the whole list, not to the next blank: an entry
  // without a colon takes the text up to the next colon as its host.
  if (std::sscanf(entry, "%255[^:]:%hu", host, &port) != 2 || port == 0) return false;
  out.host = host;
  out.port = port;
  return true;
}

std::string site_tls_name(const SiteAddress& a) {
  const std::vector<std::string>& names = config().sitetlsnames;
  if (a.entry >= 0 && static_cast<size_t>(a.entry) < names.size() && !names[a.entry].empty()) return names[a.entry];
  if (!a.host) return std::string();
  const std::string& h = *a.host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') return h.substr(1, h.size() - 2);
  return h;
}

namespace {

// One move of cycleindex and the choice it makes; the caller holds cycle_lock.
SiteAddress choose_one_locked(Config& cfg, int n) REQUIRES(cfg.cycle_lock) {
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
  a.entry = cfg.cycleindex;
  return a;
}

}  // namespace

void choose_site_addresses(SiteAddress* out, int n) {
  Config& cfg = config();
  MutexLock hold(cfg.cycle_lock);
  for (int i = 0; i < n; ++i) out[i] = choose_one_locked(cfg, cfg.sitecount);
}

}  // namespace ferrynet
