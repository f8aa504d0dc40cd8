#include "ferrynet/core/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#ifndef FERRYNET_VERSION
#define FERRYNET_VERSION "unknown"
#endif

namespace ferrynet {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// From a local command's answer (1 ms) to a site that gives up late (60 s).
constexpr int64_t kBoundNs[Histogram::kBounds] = {
    1'000'000,     2'500'000,      5'000'000,      10'000'000,     25'000'000,
    50'000'000,    100'000'000,    250'000'000,    500'000'000,    1'000'000'000,
    2'500'000'000, 5'000'000'000,  10'000'000'000, 30'000'000'000, 60'000'000'000};
constexpr const char* kBoundText[Histogram::kBounds] = {"0.001", "0.0025", "0.005", "0.01", "0.025",
                                                        "0.05",  "0.1",    "0.25",  "0.5",  "1",
                                                        "2.5",   "5",      "10",    "30",   "60"};

constexpr const char* kRefusalText[] = {"maxclients", "maxclientsperip", "logintimeout",
                                        "proxyheader", "tls",            "sitedown"};
constexpr const char* kDirectionText[] = {"down", "up", "list"};
constexpr const char* kLegText[] = {"client", "site", "client_data", "site_data"};
constexpr const char* kResultText[] = {"failed", "ok"};
static_assert(sizeof kRefusalText / sizeof kRefusalText[0] == static_cast<size_t>(Refusal::kCount));
static_assert(sizeof kDirectionText / sizeof kDirectionText[0] == static_cast<size_t>(Direction::kCount));
static_assert(sizeof kLegText / sizeof kLegText[0] == static_cast<size_t>(TlsLeg::kCount));

void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) { counter.fetch_add(by, kRelaxed); }

void sample(std::string& out, const char* name, const std::string& labels, const char* value) {
  out += name;
  if (!labels.empty()) {
    out += '{';
    out += labels;
    out += '}';
  }
  out += ' ';
  out += value;
  out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  sample(out, name, labels, text);
}

void sample(std::string& out, const char* name, const std::string& labels, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.6f", value);
  sample(out, name, labels, text);
}

std::string site_label(int site) { return "site=\"" + std::to_string(site + 1) + "\""; }

// The whole of a small file under /proc; empty when it cannot be read.
std::string read_small_file(const char* path) {
  std::string text;
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return text;
  char chunk[1024];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < 65536) text.append(chunk, got);
  std::fclose(f);
  return text;
}

// The number after `key` at the start of a line of `text`, or 0.
uint64_t number_after(std::string_view text, std::string_view key) {
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (line.substr(0, key.size()) == key) return std::strtoull(std::string(line.substr(key.size())).c_str(), nullptr, 10);
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return 0;
}

int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  int n = 0;
  while (const dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n > 0 ? n - 1 : 0;  // the listing's own descriptor
}

}  // namespace

void write_family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Histogram::observe(std::chrono::nanoseconds took) {
  const int64_t ns = took.count() < 0 ? 0 : took.count();
  int k = 0;
  while (k < kBounds && ns > kBoundNs[k]) ++k;
  bump(counts_[k]);
  bump(sum_ns_, static_cast<uint64_t>(ns));
}

void Histogram::write(std::string& out, const char* name, const std::string& labels) const {
  const std::string bucket = std::string(name) + "_bucket";
  const std::string prefix = labels.empty() ? std::string() : labels + ",";
  uint64_t below = 0;
  for (int k = 0; k <= kBounds; ++k) {
    below += counts_[k].load(kRelaxed);
    const char* le = k < kBounds ? kBoundText[k] : "+Inf";
    sample(out, bucket.c_str(), prefix + "le=\"" + le + "\"", below);
  }
  sample(out, (std::string(name) + "_sum").c_str(), labels, static_cast<double>(sum_ns_.load(kRelaxed)) / 1e9);
  sample(out, (std::string(name) + "_count").c_str(), labels, below);
}

Metrics::Metrics(int sites) : n_(sites < 0 ? 0 : sites > kMaxSites ? kMaxSites : sites) {}

void Metrics::session_started() {
  sessions_.fetch_add(1, kRelaxed);
  bump(sessions_total_);
}

void Metrics::session_ended() { sessions_.fetch_sub(1, kRelaxed); }

void Metrics::refused(Refusal why) {
  const int k = static_cast<int>(why);
  if (k >= 0 && k < static_cast<int>(Refusal::kCount)) bump(refused_[k]);
}

void Metrics::login(bool ok) { bump(logins_[ok ? 1 : 0]); }

void Metrics::site_connect_failed(int site) {
  if (valid(site)) bump(connect_failures_[site]);
}

void Metrics::site_timed_out(int site) {
  if (valid(site)) bump(timeouts_[site]);
}

void Metrics::site_replied(int site, std::chrono::nanoseconds took) {
  if (valid(site)) reply_[site].observe(took);
}

void Metrics::transfer(int site, Direction d, bool ok) {
  const int k = static_cast<int>(d);
  if (valid(site) && k >= 0 && k < kDirections) bump(transfers_[site][k][ok ? 1 : 0]);
}

void Metrics::data_bytes(int site, Direction d, uint64_t bytes) {
  const int k = static_cast<int>(d);
  if (valid(site) && k >= 0 && k < kDirections && bytes > 0) bump(bytes_[site][k], bytes);
}

void Metrics::root_listing(std::chrono::nanoseconds took) { root_listing_.observe(took); }

void Metrics::tls_handshake(TlsLeg leg, bool ok) {
  const int k = static_cast<int>(leg);
  if (k >= 0 && k < kLegs) bump(handshakes_[k][ok ? 1 : 0]);
}

void Metrics::tls_resumed(int site) {
  if (valid(site)) bump(resumed_[site]);
}

void Metrics::write_text(std::string& out) const {
  write_family(out, "ferrynet_build_info", "gauge", "The running build; always 1.");
  sample(out, "ferrynet_build_info", "version=\"" FERRYNET_VERSION "\"", uint64_t{1});

  write_family(out, "ferrynet_sessions", "gauge", "Client sessions in progress.");
  const int64_t now = sessions_.load(kRelaxed);
  sample(out, "ferrynet_sessions", "", static_cast<uint64_t>(now < 0 ? 0 : now));
  write_family(out, "ferrynet_sessions_total", "counter", "Client sessions begun.");
  sample(out, "ferrynet_sessions_total", "", sessions_total_.load(kRelaxed));
  write_family(out, "ferrynet_sessions_refused_total", "counter", "Clients turned away or shed, by reason.");
  for (int k = 0; k < static_cast<int>(Refusal::kCount); ++k)
    sample(out, "ferrynet_sessions_refused_total", std::string("reason=\"") + kRefusalText[k] + "\"",
           refused_[k].load(kRelaxed));

  write_family(out, "ferrynet_logins_total", "counter", "Logins answered, by result.");
  for (int r = 1; r >= 0; --r)
    sample(out, "ferrynet_logins_total", std::string("result=\"") + kResultText[r] + "\"", logins_[r].load(kRelaxed));

  write_family(out, "ferrynet_site_connect_failures_total", "counter", "Control connections to a site that failed.");
  for (int i = 0; i < n_; ++i)
    sample(out, "ferrynet_site_connect_failures_total", site_label(i), connect_failures_[i].load(kRelaxed));
  write_family(out, "ferrynet_site_timeouts_total", "counter", "Sessions ended because a site did not answer in time.");
  for (int i = 0; i < n_; ++i) sample(out, "ferrynet_site_timeouts_total", site_label(i), timeouts_[i].load(kRelaxed));
  write_family(out, "ferrynet_site_reply_seconds", "histogram",
               "Time from a command sent to a site until its complete reply.");
  for (int i = 0; i < n_; ++i) reply_[i].write(out, "ferrynet_site_reply_seconds", site_label(i));

  write_family(out, "ferrynet_transfers_total", "counter", "Transfers whose final reply was relayed, by result.");
  for (int i = 0; i < n_; ++i)
    for (int d = 0; d < kDirections; ++d)
      for (int r = 1; r >= 0; --r)
        sample(out, "ferrynet_transfers_total",
               site_label(i) + ",direction=\"" + kDirectionText[d] + "\",result=\"" + kResultText[r] + "\"",
               transfers_[i][d][r].load(kRelaxed));
  write_family(out, "ferrynet_data_bytes_total", "counter", "Bytes of the data connections the daemon carried.");
  for (int i = 0; i < n_; ++i)
    for (int d = 0; d < kDirections; ++d)
      sample(out, "ferrynet_data_bytes_total", site_label(i) + ",direction=\"" + kDirectionText[d] + "\"",
             bytes_[i][d].load(kRelaxed));
  write_family(out, "ferrynet_root_listing_seconds", "histogram",
               "Merged root listings, from the client's command to the last byte.");
  root_listing_.write(out, "ferrynet_root_listing_seconds", "");

  write_family(out, "ferrynet_tls_handshakes_total", "counter", "TLS handshakes, by leg and result.");
  for (int k = 0; k < kLegs; ++k)
    for (int r = 1; r >= 0; --r)
      sample(out, "ferrynet_tls_handshakes_total",
             std::string("leg=\"") + kLegText[k] + "\",result=\"" + kResultText[r] + "\"",
             handshakes_[k][r].load(kRelaxed));
  write_family(out, "ferrynet_tls_resumed_total", "counter",
               "Site data connections that resumed the control connection's TLS session.");
  for (int i = 0; i < n_; ++i) sample(out, "ferrynet_tls_resumed_total", site_label(i), resumed_[i].load(kRelaxed));
}

void write_process_metrics(std::string& out) {
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100);
  // The command name in parentheses may hold blanks: the fields are counted after its last ')'.
  const std::string stat = read_small_file("/proc/self/stat");
  const size_t paren = stat.rfind(')');
  uint64_t fields[20] = {};  // fields 3 to 22 of proc(5)
  if (paren != std::string::npos) {
    const char* p = stat.c_str() + paren + 1;
    for (int k = 0; k < 20 && *p != '\0'; ++k) {
      while (*p == ' ') ++p;
      if (k > 0) fields[k] = std::strtoull(p, nullptr, 10);
      while (*p != '\0' && *p != ' ') ++p;
    }
  }
  const double cpu = static_cast<double>(fields[11] + fields[12]) / ticks;
  const uint64_t threads = fields[17];
  const double started = static_cast<double>(number_after(read_small_file("/proc/stat"), "btime ")) +
                         static_cast<double>(fields[19]) / ticks;
  const std::string statm = read_small_file("/proc/self/statm");
  const size_t blank = statm.find(' ');
  const uint64_t resident_pages = blank == std::string::npos ? 0 : std::strtoull(statm.c_str() + blank, nullptr, 10);
  const long page = sysconf(_SC_PAGESIZE);
  rlimit lim{};
  const uint64_t max_fds =
      getrlimit(RLIMIT_NOFILE, &lim) != 0 ? 0 : lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : lim.rlim_cur;

  write_family(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
  sample(out, "process_cpu_seconds_total", "", cpu);
  write_family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  sample(out, "process_resident_memory_bytes", "", resident_pages * static_cast<uint64_t>(page > 0 ? page : 4096));
  write_family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
  sample(out, "process_open_fds", "", static_cast<uint64_t>(open_descriptors()));
  write_family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
  sample(out, "process_max_fds", "", max_fds);
  write_family(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
  sample(out, "process_start_time_seconds", "", started);
  write_family(out, "ferrynet_threads", "gauge", "Threads of the daemon's process.");
  sample(out, "ferrynet_threads", "", threads);
}

}  // namespace ferrynet
