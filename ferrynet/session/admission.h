// Who may come in (maxclients, maxclientsperip) and the watch over clients
// that never complete a login (logintimeout).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

#include "ferrynet/core/address.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/mutex.h"
#include "ferrynet/session/client.h"

namespace ferrynet {

enum class Verdict { kAdmitted, kTooManyClients, kTooManyFromHost };

// The 421 line a refused client hears; null for kAdmitted.
const char* refusal_line(Verdict v);
// The reason a refusal is logged with; null for kAdmitted.
const char* refusal_reason(Verdict v);
// The reason a refusal is counted under.
inline Refusal refusal_kind(Verdict v) {
  return v == Verdict::kTooManyFromHost ? Refusal::kMaxClientsPerIp : Refusal::kMaxClients;
}

// Descriptors one client may hold at once with `sites` sites: its control
// connection, one per site, and then either its ident lookup (before the
// relay starts) or one data bounce at the root, whose worst case is PORT (a
// listener and an accepted connection per site, one connection to the
// client): 3 * sites + 2. A client running several bounces at once is not
// provided for; the reserve absorbs a few.
int descriptors_per_client(int sites);
// The default maxclients for a process allowed `descriptors` open files.
uint32_t clients_for_descriptors(uint64_t descriptors, int sites);

class Admission {
 public:
  // Limits of 0 mean none. Set once at start-up, before the first admit.
  void set_limits(uint32_t max_clients, uint32_t max_per_host, uint32_t login_seconds) EXCLUDES(lock_);
  // Counts `c`, which came from `peer`, in, or says why not; a refused client is not counted.
  // c->client_conn must be in place: the watchdog may shut it down from now on.
  // A load balancer's connection (`host_known` false) counts towards no host
  // until place() names the client it carries.
  Verdict admit(const std::shared_ptr<Client>& c, const Address& peer, bool host_known = true) EXCLUDES(lock_);
  // The admitted `c` comes from `host`: counted for it from now on, or
  // refused when it has its share already (release() still follows).
  Verdict place(const Client& c, const Address& host) EXCLUDES(lock_);
  // Called by the client's thread before its connections close; afterwards the
  // watchdog no longer touches them.
  void release(const Client& c) EXCLUDES(lock_);
  // Starts the login watchdog thread; 0, or the error number. Without a login
  // limit there is nothing to watch and no thread.
  int start_watchdog() EXCLUDES(lock_);
  // Runs `change` to a client's site connections while the watchdog cannot
  // look at them.
  template <typename F>
  void with_sites_held(F&& change) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    change();
  }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Stage { kWatching, kTold, kDone };
  struct Entry {
    std::shared_ptr<Client> client;
    Address peer;
    Clock::time_point deadline;
    Stage stage;
  };

  uint32_t count_host(const Address& host, const Client* besides) const REQUIRES(lock_);
  static void* watchdog_entry(void* self);
  [[noreturn]] void watch_logins() EXCLUDES(lock_);
  Clock::time_point step(Entry& e, Clock::time_point now) REQUIRES(lock_);

  Mutex lock_;
  std::condition_variable_any wake_;
  uint32_t max_clients_ GUARDED_BY(lock_) = 0;
  uint32_t max_per_host_ GUARDED_BY(lock_) = 0;
  uint32_t login_seconds_ GUARDED_BY(lock_) = 0;
  // When the watchdog will look next; an earlier new deadline wakes it.
  Clock::time_point next_look_ GUARDED_BY(lock_) = Clock::time_point::max();
  std::vector<Entry> entries_ GUARDED_BY(lock_);
};

Admission& admission();

}  // namespace ferrynet
