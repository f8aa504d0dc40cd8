// Whether each site answers, shared by every session: one that failed is
// left alone by new sessions until its back-off has passed, so no login
// waits on a site already known to be down.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/mutex.h"

namespace ferrynet {

class SiteHealth {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kFirstBackoff{5};
  static constexpr std::chrono::seconds kLongestBackoff{60};

  // `sites` is the site count N; every site starts up.
  explicit SiteHealth(int sites);
  SiteHealth(const SiteHealth&) = delete;
  SiteHealth& operator=(const SiteHealth&) = delete;

  int site_count() const { return n_; }
  // Lock-free: read on every login and by the metrics.
  bool up(int site) const;
  // Whether a new session is to connect to `site` now: it is up, or its
  // back-off has passed and this caller is the one to try it (the others
  // go on skipping it until that try ends or its bound has passed).
  bool should_try(int site, Clock::time_point now = Clock::now());
  // A session could not reach the site or lost it. Logged on the change
  // only; a failed retry doubles the back-off.
  void mark_down(int site, std::string_view reason, Clock::time_point now = Clock::now()) EXCLUDES(lock_);
  // A session reached the site.
  void mark_up(int site, Clock::time_point now = Clock::now()) EXCLUDES(lock_);
  // What other instances learnt (shared state): the site is down for
  // `remaining` more, or up again. Their observer is not told.
  void adopt_down(int site, std::chrono::milliseconds remaining, Clock::time_point now = Clock::now()) EXCLUDES(lock_);
  void adopt_up(int site, Clock::time_point now = Clock::now()) EXCLUDES(lock_);
  // Told of every change this instance's sessions find: up, or down with
  // the back-off given. Set before the first session and left alone after.
  using Observer = std::function<void(int site, bool up, std::chrono::milliseconds backoff)>;
  void set_observer(Observer observer) { observer_ = std::move(observer); }
  // Times the site went down since start-up.
  uint64_t falls(int site) const;
  // The wait before the next retry while down; 0 while up.
  std::chrono::seconds backoff(int site) const;

 private:
  struct Record {
    std::atomic<bool> up{true};
    // When a new session may try the site again, in steady-clock ticks.
    std::atomic<int64_t> retry_at{0};
    std::atomic<int64_t> backoff_s{0};
    // A session claimed the retry and its outcome is not in yet.
    std::atomic<bool> retrying{false};
    std::atomic<uint64_t> falls{0};
    Clock::time_point down_since;  // guarded by lock_ (not annotated: array member)
  };
  bool valid(int site) const { return site >= 0 && site < n_; }
  void set_up(int site, Clock::time_point now, bool tell) EXCLUDES(lock_);

  const int n_;
  // Serialises the transitions, so each is logged once.
  Mutex lock_;
  Record sites_[kMaxSites];
  Observer observer_;
};

}  // namespace ferrynet
