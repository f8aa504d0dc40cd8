#include "ferrynet/session/site_health.h"

#include <algorithm>

#include "ferrynet/core/log.h"

namespace ferrynet {

namespace {

int64_t ticks(SiteHealth::Clock::time_point t) { return t.time_since_epoch().count(); }

SiteHealth::Clock::time_point after(SiteHealth::Clock::time_point t, int64_t seconds) {
  return t + std::chrono::seconds(seconds);
}

}  // namespace

SiteHealth::SiteHealth(int sites) : n_(std::clamp(sites, 0, kMaxSites)) {}

bool SiteHealth::up(int site) const { return valid(site) && sites_[site].up.load(std::memory_order_relaxed); }

uint64_t SiteHealth::falls(int site) const { return valid(site) ? sites_[site].falls.load(std::memory_order_relaxed) : 0; }

std::chrono::seconds SiteHealth::backoff(int site) const {
  if (!valid(site) || up(site)) return std::chrono::seconds(0);
  return std::chrono::seconds(sites_[site].backoff_s.load(std::memory_order_relaxed));
}

bool SiteHealth::should_try(int site, Clock::time_point now) {
  if (!valid(site)) return false;
  Record& r = sites_[site];
  if (r.up.load(std::memory_order_relaxed)) return true;
  int64_t due = r.retry_at.load(std::memory_order_relaxed);
  if (ticks(now) < due) return false;
  // One session wins the retry; the rest keep skipping the site while it
  // runs (a connect is bounded well within the back-off it is given).
  const int64_t wait = r.backoff_s.load(std::memory_order_relaxed);
  if (!r.retry_at.compare_exchange_strong(due, ticks(after(now, wait)), std::memory_order_relaxed)) return false;
  r.retrying.store(true, std::memory_order_relaxed);
  return true;
}

void SiteHealth::mark_down(int site, std::string_view reason, Clock::time_point now) {
  if (!valid(site)) return;
  Record& r = sites_[site];
  MutexLock hold(lock_);
  int64_t wait;
  if (r.up.load(std::memory_order_relaxed)) {
    wait = kFirstBackoff.count();
    r.down_since = now;
    r.falls.fetch_add(1, std::memory_order_relaxed);
    r.up.store(false, std::memory_order_relaxed);
    log_line('e', "site %d is down: %.*s\n", site + 1, static_cast<int>(reason.size()), reason.data());
  } else if (r.retrying.exchange(false, std::memory_order_relaxed)) {
    wait = std::min<int64_t>(r.backoff_s.load(std::memory_order_relaxed) * 2, kLongestBackoff.count());
  } else {
    // A session that still held the site found it gone: the back-off under
    // way stands.
    return;
  }
  r.backoff_s.store(wait, std::memory_order_relaxed);
  r.retry_at.store(ticks(after(now, wait)), std::memory_order_relaxed);
  if (observer_) observer_(site, false, std::chrono::seconds(wait));
}

void SiteHealth::adopt_down(int site, std::chrono::milliseconds remaining, Clock::time_point now) {
  if (!valid(site) || remaining.count() <= 0) return;
  Record& r = sites_[site];
  MutexLock hold(lock_);
  // A back-off of our own stands.
  if (!r.up.load(std::memory_order_relaxed)) return;
  r.down_since = now;
  r.falls.fetch_add(1, std::memory_order_relaxed);
  r.backoff_s.store(std::max<int64_t>(1, (remaining.count() + 999) / 1000), std::memory_order_relaxed);
  r.retry_at.store(ticks(now + remaining), std::memory_order_relaxed);
  r.up.store(false, std::memory_order_relaxed);
  log_line('e', "site %d is down: so another instance found\n", site + 1);
}

void SiteHealth::adopt_up(int site, Clock::time_point now) { set_up(site, now, false); }

void SiteHealth::mark_up(int site, Clock::time_point now) { set_up(site, now, true); }

void SiteHealth::set_up(int site, Clock::time_point now, bool tell) {
  if (!valid(site)) return;
  Record& r = sites_[site];
  if (r.up.load(std::memory_order_relaxed)) return;
  MutexLock hold(lock_);
  if (r.up.load(std::memory_order_relaxed)) return;
  const auto down_for = std::chrono::duration_cast<std::chrono::seconds>(now - r.down_since);
  r.backoff_s.store(0, std::memory_order_relaxed);
  r.retrying.store(false, std::memory_order_relaxed);
  r.retry_at.store(0, std::memory_order_relaxed);
  r.up.store(true, std::memory_order_relaxed);
  log_line('i', "site %d is back after %lld s\n", site + 1, static_cast<long long>(down_for.count()));
  if (tell && observer_) observer_(site, true, std::chrono::milliseconds(0));
}

}  // namespace ferrynet
