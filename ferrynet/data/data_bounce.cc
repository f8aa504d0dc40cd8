#include "ferrynet/data/data_bounce.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/bounce_pump.h"
#include "ferrynet/data/byte_copy.h"
#include "ferrynet/data/seen_names.h"

namespace ferrynet {

namespace {

// Lives in the starting frame. The new thread takes the record out of it and
// signals; after that signal it never touches this again, so the starter may
// return while the bounce runs on.
struct BounceStart {
  std::mutex start_lock;
  std::condition_variable started_cv;
  bool started = false;
  std::unique_ptr<DataBounce> bounce;
};

void* bouncer_main(void* arg) {
  auto* start = static_cast<BounceStart*>(arg);
  std::unique_ptr<DataBounce> own;
  {
    std::lock_guard<std::mutex> hold(start->start_lock);
    own = std::move(start->bounce);  // the hand-over: from here this thread owns the transfer
    start->started = true;
    start->started_cv.notify_one();
  }
  run_bounce(*own);
  return nullptr;  // `own` closes the listening sockets and goes
}

}  // namespace

int start_bounce(std::unique_ptr<DataBounce> bounce) {
  BounceStart start;
  start.bounce = std::move(bounce);
  pthread_attr_t attr;
  if (int err = pthread_attr_init(&attr)) return err;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  std::unique_lock<std::mutex> hold(start.start_lock);
  pthread_t thread;
  int err = pthread_create(&thread, &attr, bouncer_main, &start);
  pthread_attr_destroy(&attr);
  if (err != 0) return err;  // `start` still owns the record and releases it
  start.started_cv.wait(hold, [&] { return start.started; });
  return 0;
}

namespace {

// A leg of its own thread: a plain copy between one site and the client.
struct CopyLeg {
  Connection* site = nullptr;
  Connection* client = nullptr;
  TransferPlan* plan = nullptr;
  long long moved = 0;  // -1 after a failure
};

void* copy_main(void* arg) {
  auto* leg = static_cast<CopyLeg*>(arg);
  leg->moved = copy_bytes(*leg->site, *leg->client);
  if (leg->moved < 0)
    log_line('e', "system error on bounce connection (%s)\n", std::strerror(errno));
  if (leg->plan) leg->plan->leg_finished();
  return nullptr;
}

struct PumpLeg {
  BouncePump pump;
  TransferPlan* plan = nullptr;
};

void* pump_leg_main(void* arg) {
  auto* leg = static_cast<PumpLeg*>(arg);
  run_pump(leg->pump);
  if (leg->plan) leg->plan->leg_finished();
  return nullptr;
}

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Short enough that a cancelled bounce lets its ports go at once.
constexpr int kCancelCheckMs = 200;

enum class Waited { kAccepted, kNothing, kFailed, kCancelled };

// Accepts one connection from `expected` (anyone when none) within `limit_s`;
// connections from elsewhere are closed and the wait goes on.
Waited accept_from(Listener& l, const std::optional<Address>& expected, int limit_s, TransferPlan* plan,
                   Connection& out, int* error) {
  const long long deadline = now_ms() + static_cast<long long>(limit_s) * 1000;
  for (;;) {
    if (plan && plan->cancelled()) return Waited::kCancelled;
    const long long left = deadline - now_ms();
    if (left <= 0) return Waited::kNothing;
    AcceptOutcome in = l.accept_within_ms(static_cast<int>(left < kCancelCheckMs ? left : kCancelCheckMs));
    if (in.status == AcceptStatus::kFailed) {
      *error = in.error;
      return Waited::kFailed;
    }
    if (in.status == AcceptStatus::kNothing) continue;
    // Security: a data port is announced in clear; whoever connects first
    // would otherwise get the listing or inject one.
    if (expected && !in.peer.same_host(*expected)) {
      log_line('e', "data connection from %s to port %d refused: expected %s\n", in.peer.host().c_str(),
               static_cast<int>(l.port), expected->host().c_str());
      continue;
    }
    out = std::move(in.conn);
    return Waited::kAccepted;
  }
}

// The decision, waited for without end of the data wait and given up when cancelled.
TransferPlan::Decision await_decision(DataBounce& b) {
  if (b.byte_copy) return {TransferPlan::Use::kSingleSite, b.first_site};
  if (!b.plan) return {TransferPlan::Use::kListing, -1};
  return b.plan->wait_decision(b.timeout_s * 1000);
}

bool accept_failed(DataBounce& b, Waited w, int listener, int error) {
  if (w == Waited::kAccepted) return false;
  if (w == Waited::kFailed)
    log_line('e', "error on data connection accept (%s)\n", std::strerror(error));
  else if (w == Waited::kNothing)
    log_line('e', "no data connection came to port %d within %ds\n", static_cast<int>(b.listen_ports[listener]),
             b.timeout_s);
  return true;
}

// What a leg carried, once it has ended: a whole transfer costs one count.
void count_bytes(const DataBounce& b, int leg, long long moved, Direction otherwise) {
  if (b.metrics == nullptr || moved <= 0) return;
  const Direction d = b.plan ? b.plan->direction(otherwise) : otherwise;
  if (leg >= 0 && leg < kMaxSites) b.metrics->data_bytes(b.site_numbers[leg], d, static_cast<uint64_t>(moved));
}

}  // namespace

void run_bounce(DataBounce& b) {
  const int n = b.sites;
  TransferPlan* plan = b.plan.get();
  Connection site_legs[kMaxSites];
  Connection client_leg;
  TransferPlan::Decision d;
  int error = 0;

  auto connect_to = [&](int j, Connection& out) {
    ConnectOutcome c = connect_timed(b.hosts[j], b.ports[j], nullptr, 0, b.timeout_s);
    if (!c.ok()) {
      log_line('e', "cannot bounce data connection from %s:%d to %s:%d, timeouted (%ds)\n", b.client_host,
               b.client_port, b.hosts[j], static_cast<int>(b.ports[j]), b.timeout_s);
      return false;
    }
    out = std::move(c.conn);
    return true;
  };

  // The client's leg speaks TLS as soon as it is there (some clients start
  // the handshake before their command); a site's only once it was asked.
  auto protect_client = [&]() {
    if (!b.client_tls) return true;
    std::string why;
    const bool ok = client_leg.start_tls(*b.client_tls, b.timeout_s * 1000, nullptr, &why) == TlsResult::ok;
    if (b.metrics) b.metrics->tls_handshake(TlsLeg::kClientData, ok);
    if (ok) return true;
    log_line('e', "TLS on the data connection of %s:%d failed (%s)\n", b.client_host, b.client_port, why.c_str());
    return false;
  };
  auto protect_site = [&](int leg) {
    if (!b.site_tls) return true;
    std::string why;
    const bool ok = site_legs[leg].start_tls(*b.site_tls, b.timeout_s * 1000, b.site_stores[leg], &why,
                                             b.site_names[leg]) == TlsResult::ok;
    if (b.metrics) b.metrics->tls_handshake(TlsLeg::kSiteData, ok);
    if (ok && b.metrics && site_legs[leg].tls_resumed()) b.metrics->tls_resumed(b.site_numbers[leg]);
    if (ok) return true;
    log_line('e', "TLS on the data connection to site %d failed (%s)\n", b.first_site + leg + 1, why.c_str());
    return false;
  };

  if (b.connect_to_sites) {
    for (int j = 0; j < b.target_count; ++j)
      if (!connect_to(j, site_legs[j])) return;
    Waited w = b.listeners[0] ? accept_from(*b.listeners[0], b.client_peer, b.timeout_s, plan, client_leg, &error)
                              : Waited::kNothing;
    if (accept_failed(b, w, 0, error)) return;
    if (!protect_client()) return;
    d = await_decision(b);
  } else {
    // The client's connection comes first, as from a site of its own: a
    // site's completion reply, passed on once its data is sent, must not
    // reach a client that still waits for its data connection.
    if (!connect_to(0, client_leg)) return;
    if (!protect_client()) return;
    // The sites connect only once a command tells them to, and only the
    // ones that take part: which ones is known first.
    d = await_decision(b);
    if (d.use != TransferPlan::Use::kListing && d.use != TransferPlan::Use::kSingleSite) return;
    for (int i = 0; i < b.listen_count; ++i) {
      if (d.use == TransferPlan::Use::kSingleSite && i != d.site - b.first_site) continue;
      if (!b.listeners[i]) return;
      Waited w = accept_from(*b.listeners[i], b.site_peers[i], b.timeout_s, plan, site_legs[i], &error);
      if (accept_failed(b, w, i, error)) return;
    }
  }
  for (auto& l : b.listeners) l.reset();  // no one else may connect now

  if (d.use == TransferPlan::Use::kSingleSite) {
    const int leg = d.site - b.first_site;
    if (leg < 0 || leg >= n || !site_legs[leg].valid()) return;
    // The other sites' legs close at once: their sites were never asked for this transfer.
    for (int i = 0; i < n; ++i)
      if (i != leg) site_legs[i].close();
    if (!protect_site(leg)) return;
    CopyLeg copy{&site_legs[leg], &client_leg, plan};
    if (!plan) {
      copy_main(&copy);
      count_bytes(b, leg, copy.moved, Direction::kDown);
      site_legs[leg].finish(kDataFinishMs);
      client_leg.finish(kDataFinishMs);
      return;
    }
    plan->leg_started();
    pthread_t thread;
    if (int err = pthread_create(&thread, nullptr, copy_main, &copy)) {
      plan->leg_finished();
      log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
      return;
    }
    while (!plan->wait_legs(1000))
      if (plan->cancelled()) {
        site_legs[leg].shutdown_both();
        client_leg.shutdown_both();
      }
    pthread_join(thread, nullptr);
    count_bytes(b, leg, copy.moved, Direction::kDown);
    if (plan->cancelled()) return;
    site_legs[leg].finish(kDataFinishMs);
    client_leg.finish(kDataFinishMs);
    return;
  }
  if (d.use != TransferPlan::Use::kListing) return;

  for (int i = 0; i < n; ++i)
    if (!protect_site(i)) return;
  SeenNames seen;
  std::mutex shared_write_lock;
  PumpLeg legs[kMaxSites];
  pthread_t threads[kMaxSites];
  bool running[kMaxSites] = {};
  for (int i = 0; i < n; ++i) {
    BouncePump& p = legs[i].pump;
    p.first = b.connect_to_sites ? &site_legs[i] : &client_leg;
    p.second = b.connect_to_sites ? &client_leg : &site_legs[i];
    p.shared = &client_leg;
    p.shared_write_lock = &shared_write_lock;
    p.seen = &seen;
    p.kind = plan ? plan->listing_kind() : nullptr;
    legs[i].plan = plan;
    if (plan) plan->leg_started();
    int err = pthread_create(&threads[i], nullptr, pump_leg_main, &legs[i]);
    if (err != 0) {
      if (plan) plan->leg_finished();
      log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
      continue;
    }
    running[i] = true;
  }
  if (plan)
    while (!plan->wait_legs(1000))
      if (plan->cancelled()) {
        client_leg.shutdown_both();
        for (Connection& c : site_legs) c.shutdown_both();
      }
  for (int i = 0; i < n; ++i)
    if (running[i]) pthread_join(threads[i], nullptr);
  for (int i = 0; i < n; ++i) count_bytes(b, i, legs[i].pump.moved, Direction::kList);
  std::chrono::nanoseconds took{};
  if (b.metrics && plan && !plan->cancelled() && plan->since_command(std::chrono::steady_clock::now(), &took))
    b.metrics->root_listing(took);
  if (plan && plan->cancelled()) return;
  client_leg.finish(kDataFinishMs);
  for (Connection& c : site_legs) c.finish(kDataFinishMs);
}

}  // namespace ferrynet
