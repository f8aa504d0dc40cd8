#include "ferrynet/session/admission.h"

#include <pthread.h>

#include <algorithm>
#include <new>

#include "ferrynet/core/limits.h"

namespace ferrynet {

const char* refusal_line(Verdict v) {
  switch (v) {
    case Verdict::kTooManyClients:
      return "421 Too many clients, try again later.\r\n";
    case Verdict::kTooManyFromHost:
      return "421 Too many connections from your address, try again later.\r\n";
    case Verdict::kAdmitted:
      break;
  }
  return nullptr;
}

const char* refusal_reason(Verdict v) {
  switch (v) {
    case Verdict::kTooManyClients:
      return "maxclients reached";
    case Verdict::kTooManyFromHost:
      return "maxclientsperip reached";
    case Verdict::kAdmitted:
      break;
  }
  return nullptr;
}

int descriptors_per_client(int sites) { return 3 * sites + 2; }

uint32_t clients_for_descriptors(uint64_t descriptors, int sites) {
  if (descriptors <= static_cast<uint64_t>(kReservedDescriptors)) return 1;
  const uint64_t n = (descriptors - kReservedDescriptors) / static_cast<uint64_t>(descriptors_per_client(sites));
  return static_cast<uint32_t>(std::clamp<uint64_t>(n, 1, UINT32_MAX));
}

Admission& admission() {
  static Admission instance;
  return instance;
}

void Admission::set_limits(uint32_t max_clients, uint32_t max_per_host, uint32_t login_seconds) {
  MutexLock hold(lock_);
  max_clients_ = max_clients;
  max_per_host_ = max_per_host;
  login_seconds_ = login_seconds;
}

uint32_t Admission::count_host(const Address& host, const Client* besides) const {
  uint32_t same = 0;
  for (const Entry& e : entries_)
    same += e.client.get() != besides && e.peer.valid() && e.peer.same_host(host) ? 1 : 0;
  return same;
}

Verdict Admission::admit(const std::shared_ptr<Client>& c, const Address& peer, bool host_known) {
  MutexLock hold(lock_);
  if (max_clients_ != 0 && entries_.size() >= max_clients_) return Verdict::kTooManyClients;
  if (host_known && max_per_host_ != 0 && count_host(peer, nullptr) >= max_per_host_)
    return Verdict::kTooManyFromHost;
  const Stage stage = login_seconds_ != 0 ? Stage::kWatching : Stage::kDone;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(login_seconds_);
  try {
    entries_.push_back(Entry{c, host_known ? peer : Address(), deadline, stage});
  } catch (const std::bad_alloc&) {
    return Verdict::kTooManyClients;
  }
  if (stage == Stage::kWatching && deadline < next_look_) wake_.notify_one();
  return Verdict::kAdmitted;
}

Verdict Admission::place(const Client& c, const Address& host) {
  MutexLock hold(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.client.get() == &c; });
  if (it == entries_.end()) return Verdict::kAdmitted;
  if (max_per_host_ != 0 && count_host(host, &c) >= max_per_host_) return Verdict::kTooManyFromHost;
  it->peer = host;
  return Verdict::kAdmitted;
}

void Admission::drop_holder(const Client& c, bool client_thread) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.client.get() == &c; });
  if (it == entries_.end()) return;
  if (client_thread) it->stage = Stage::kDone;
  if (--it->holders > 0) return;
  *it = std::move(entries_.back());
  entries_.pop_back();
}

void Admission::release(const Client& c) {
  MutexLock hold(lock_);
  drop_holder(c, true);
}

void Admission::hold(const Client& c) {
  MutexLock hold(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.client.get() == &c; });
  if (it != entries_.end()) ++it->holders;
}

void Admission::let_go(const Client& c) {
  MutexLock hold(lock_);
  drop_holder(c, false);
}

int Admission::start_watchdog() {
  {
    MutexLock hold(lock_);
    if (login_seconds_ == 0) return 0;
  }
  pthread_attr_t attr;
  if (int err = pthread_attr_init(&attr)) return err;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int err = pthread_create(&thread, &attr, watchdog_entry, this);
  pthread_attr_destroy(&attr);
  return err;
}

void* Admission::watchdog_entry(void* self) { static_cast<Admission*>(self)->watch_logins(); }

void Admission::watch_logins() {
  MutexLock hold(lock_);
  for (;;) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::seconds(kWatchdogIdleSeconds);
    for (Entry& e : entries_) next = std::min(next, step(e, now));
    next_look_ = next;
    wake_.wait_until(lock_, next);
  }
}

// Runs under lock_, so the entry's connections are not closed meanwhile:
// the client thread releases its entry before they close.
Admission::Clock::time_point Admission::step(Entry& e, Clock::time_point now) {
  Client& c = *e.client;
  if (e.stage == Stage::kWatching && c.logged_in.load()) e.stage = Stage::kDone;
  if (e.stage == Stage::kDone) return Clock::time_point::max();
  if (now < e.deadline) return e.deadline;
  if (e.stage == Stage::kWatching) {
    // The client thread may be writing to the client this very moment, so
    // the 421 line is left to it; ending the site connections wakes its relay
    // wait without touching the client's byte stream.
    c.login_expired.store(true);
    if (c.sites_connected.load())
      for (const Connection& site : c.site_conn) site.shutdown_both();
    e.stage = Stage::kTold;
    e.deadline = now + std::chrono::seconds(kLoginShedGraceSeconds);
    return e.deadline;
  }
  c.client_conn.shutdown_both();
  e.stage = Stage::kDone;
  return Clock::time_point::max();
}

}  // namespace ferrynet
