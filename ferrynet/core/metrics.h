// What the daemon has done, counted for the operator's scrapes. One record,
// made at start-up when `metricsaddress` is set; every count is a relaxed
// atomic, so no session or transfer ever waits for it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "ferrynet/core/limits.h"

namespace ferrynet {

// Why a session was turned away or shed; the order is the label table's.
enum class Refusal : int { kMaxClients, kMaxClientsPerIp, kLoginTimeout, kProxyHeader, kTls, kSiteDown, kCount };
enum class Direction : int { kDown, kUp, kList, kCount };
enum class TlsLeg : int { kClient, kSite, kClientData, kSiteData, kCount };

// Fixed buckets; an observation touches one of them and the sum. The
// cumulative counts are made only when the page is written.
class Histogram {
 public:
  static constexpr int kBounds = 15;
  void observe(std::chrono::nanoseconds took);
  // `labels` is empty or "name=\"value\"" pairs without braces.
  void write(std::string& out, const char* name, const std::string& labels) const;

 private:
  std::atomic<uint64_t> counts_[kBounds + 1] = {};  // the last: above every bound
  std::atomic<uint64_t> sum_ns_{0};
};

class Metrics {
 public:
  // `sites` is the site count N; sites out of range are not counted.
  explicit Metrics(int sites);
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  int site_count() const { return n_; }
  void session_started();
  void session_ended();
  void refused(Refusal why);
  void login(bool ok);
  void site_connect_failed(int site);
  void site_timed_out(int site);
  void site_replied(int site, std::chrono::nanoseconds took);
  void transfer(int site, Direction d, bool ok);
  void data_bytes(int site, Direction d, uint64_t bytes);
  void root_listing(std::chrono::nanoseconds took);
  void tls_handshake(TlsLeg leg, bool ok);
  void tls_resumed(int site);

  int64_t sessions() const { return sessions_.load(std::memory_order_relaxed); }

  // Every metric of this record in the text exposition format; the site
  // health and the process's own figures are written by their owners.
  void write_text(std::string& out) const;

 private:
  static constexpr int kDirections = static_cast<int>(Direction::kCount);
  static constexpr int kLegs = static_cast<int>(TlsLeg::kCount);
  bool valid(int site) const { return site >= 0 && site < n_; }

  const int n_;
  std::atomic<int64_t> sessions_{0};
  std::atomic<uint64_t> sessions_total_{0};
  std::atomic<uint64_t> refused_[static_cast<int>(Refusal::kCount)] = {};
  std::atomic<uint64_t> logins_[2] = {};  // failed, ok
  std::atomic<uint64_t> connect_failures_[kMaxSites] = {};
  std::atomic<uint64_t> timeouts_[kMaxSites] = {};
  Histogram reply_[kMaxSites];
  std::atomic<uint64_t> transfers_[kMaxSites][kDirections][2] = {};  // [..][failed, ok]
  std::atomic<uint64_t> bytes_[kMaxSites][kDirections] = {};
  Histogram root_listing_;
  std::atomic<uint64_t> handshakes_[kLegs][2] = {};  // [..][failed, ok]
  std::atomic<uint64_t> resumed_[kMaxSites] = {};
};

// The standard figures of this process (CPU, memory, descriptors, start
// time, threads), read from the system when the page is written.
void write_process_metrics(std::string& out);

// One metric's HELP and TYPE lines.
void write_family(std::string& out, const char* name, const char* type, const char* help);

}  // namespace ferrynet
