// What several instances in front of the same sites share through a Redis
// store (`sharedstate`): who is logged in with which site session ids, how
// many sessions each address holds, and which sites are down. One
// connection per instance, owned by a background thread that pipelines
// whatever the sessions queued; no session waits on it past kBound, and
// while the store is away every instance goes on with its own view.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ferrynet {

class SiteHealth;

// Where the store listens: "redis://HOST:PORT[/DB]" or "unix:///path".
struct StoreAddress {
  std::string host;  // empty: a unix socket at `path`
  int port = 6379;
  std::string path;
  int db = 0;
};
std::optional<StoreAddress> parse_store_address(const std::string& url);

// Site session ids packed as (site << 32 | id).
using HiddenIds = std::unordered_set<uint64_t>;
inline uint64_t hidden_key(int site, int id) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(site)) << 32) | static_cast<uint32_t>(id);
}

class SharedState {
 public:
  static constexpr std::chrono::milliseconds kBound{50};
  static constexpr int kExpirySeconds = 30;

  // `health` (may be null) follows and feeds the other instances' view.
  SharedState(const StoreAddress& where, std::string prefix, int sites, SiteHealth* health);
  ~SharedState();
  SharedState(const SharedState&) = delete;
  SharedState& operator=(const SharedState&) = delete;

  // A session from `host` begins: counted for the address across every
  // instance. Returns that count including this session (0: the store did
  // not answer in time, the local count stands) and brings the sites'
  // health from the store. end() follows in every case.
  uint32_t begin(uint64_t session, const std::string& host);
  // The session logged in: the ids its who-lists hide ("site:id" words).
  void logged_in(uint64_t session, std::string hidden);
  void end(uint64_t session);
  // The ids every other instance's sessions hide; none when the store is away.
  std::optional<HiddenIds> hidden_elsewhere();
  // SiteHealth tells of its transitions here.
  void site_changed(int site, bool up, std::chrono::milliseconds backoff);

  bool up() const { return up_.load(std::memory_order_relaxed); }
  uint64_t errors() const { return errors_.load(std::memory_order_relaxed); }
  void write_metrics(std::string& out) const;

 private:
  struct Reply;
  struct Job {
    std::vector<std::string> args;
    uint64_t epoch = 0;
    std::shared_ptr<Reply> reply;  // null: nobody waits
  };
  std::shared_ptr<Reply> call(std::vector<std::string> args, bool wait);
  void run();
  bool connect();
  void lost(const char* reason);
  bool send(std::vector<Job>& jobs);
  std::string key(const char* kind, const std::string& name = std::string()) const;

  const StoreAddress where_;
  const std::string prefix_;
  const std::string instance_;
  const int sites_;
  SiteHealth* const health_;

  std::atomic<bool> up_{false};
  std::atomic<uint64_t> errors_{0};

  // Guards the queue and the local tables the store is rebuilt from.
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  // Raised on every new connection: jobs queued before it were already
  // counted in the rewrite and are dropped.
  uint64_t epoch_ = 0;
  bool stopping_ = false;
  bool connected_ = false;
  struct Live {
    std::string host;
    std::string hidden;
  };
  std::unordered_map<uint64_t, Live> live_;

  // The thread's own.
  void* ctx_ = nullptr;
  bool said_down_ = false;
  std::thread thread_;
};

}  // namespace ferrynet
