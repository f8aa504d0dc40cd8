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
#include "ferrynet/core/proxy_intake.h"
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

using Outcome = TransferPlan::Outcome;

// A leg of its own thread: a plain copy between one site and the client.
struct CopyLeg {
  Connection* site = nullptr;
  Connection* client = nullptr;
  TransferPlan* plan = nullptr;
  bool failed = false;
  CopyEnd end;
  long long moved = 0;
};

void* copy_main(void* arg) {
  auto* leg = static_cast<CopyLeg*>(arg);
  leg->moved = copy_bytes(*leg->site, *leg->client, CopyPath::kKernel, &leg->end,
                          leg->plan ? leg->plan->moved() : nullptr);
  if (leg->moved < 0) {
    log_line('e', "system error on bounce connection (%s)\n", std::strerror(errno));
    leg->failed = true;
  }
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
// connections from elsewhere are closed and the wait goes on. A connection
// from a `proxy_from` balancer counts as coming from the client its PROXY
// header names.
Waited accept_from(Listener& l, const std::optional<Address>& expected, int limit_s, TransferPlan* plan,
                   const std::vector<AddressBlock>* proxy_from, Connection& out, int* error) {
  const long long deadline = now_ms() + static_cast<long long>(limit_s) * 1000;
  for (;;) {
    if (plan && plan->should_end()) return Waited::kCancelled;
    const long long left = deadline - now_ms();
    if (left <= 0) return Waited::kNothing;
    AcceptOutcome in = l.accept_within_ms(static_cast<int>(left < kCancelCheckMs ? left : kCancelCheckMs));
    if (in.status == AcceptStatus::kFailed) {
      *error = in.error;
      return Waited::kFailed;
    }
    if (in.status == AcceptStatus::kNothing) continue;
    Address from = in.peer;
    if (proxy_from && any_contains(*proxy_from, in.peer)) {
      ProxyHeader header;
      // Security: a balancer's connection without a header could be anyone's.
      if (!read_proxy_header(in.conn, in.peer, header)) {
        log_line('e', "data connection from %s to port %d refused: no valid PROXY header\n", in.peer.host().c_str(),
                 static_cast<int>(l.port));
        continue;
      }
      if (header.has_addresses) from = header.source;
    }
    // Security: a data port is announced in clear; whoever connects first
    // would otherwise get the listing or inject one.
    if (expected && !from.same_host(*expected)) {
      log_line('e', "data connection from %s to port %d refused: expected %s\n", from.host().c_str(),
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

// Every site's passive port at once: the slowest site sets the time, not the sum.
bool connect_sites_together(DataBounce& b, Connection* legs) {
  const int count = b.target_count < kMaxSites ? b.target_count : kMaxSites;
  ConnectRequest requests[kMaxSites];
  ConnectOutcome out[kMaxSites];
  for (int j = 0; j < count; ++j) requests[j] = ConnectRequest{b.hosts[j], b.ports[j], nullptr, 0};
  connect_together(requests, out, count, b.timeout_s);
  for (int j = 0; j < count; ++j) {
    if (!out[j].ok()) {
      // The relay ends that site's transfer and tells the client.
      if (b.plan) b.plan->site_leg_failed(b.first_site + j);
      log_line('e', "cannot bounce data connection from %s:%d to %s:%d, timeouted (%ds)\n", b.client_host,
               b.client_port, b.hosts[j], static_cast<int>(b.ports[j]), b.timeout_s);
      return false;
    }
  }
  for (int j = 0; j < count; ++j) legs[j] = std::move(out[j].conn);
  return true;
}

// The sites' legs of a listing take TLS together, each resuming its site's control session.
bool protect_sites_together(DataBounce& b, Connection* legs, int n) {
  if (!b.site_tls) return true;
  TlsStart starts[kMaxSites];
  const int count = n < kMaxSites ? n : kMaxSites;
  for (int i = 0; i < count; ++i) {
    starts[i].conn = &legs[i];
    starts[i].store = b.site_stores[i];
    starts[i].peer_name = b.site_names[i];
  }
  TransferPlan* plan = b.plan.get();
  start_tls_together(*b.site_tls, starts, count, b.timeout_s * 1000,
                     [plan] { return plan != nullptr && plan->should_end(); });
  bool all = true;
  for (int i = 0; i < count; ++i) {
    const bool ok = starts[i].result == TlsResult::ok;
    if (b.metrics) b.metrics->tls_handshake(TlsLeg::kSiteData, ok);
    if (ok && b.metrics && legs[i].tls_resumed()) b.metrics->tls_resumed(b.site_numbers[i]);
    if (ok) continue;
    log_line('e', "TLS on the data connection to site %d failed (%s)\n", b.first_site + i + 1,
             starts[i].error.c_str());
    all = false;
  }
  return all;
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

// Whatever way the bounce ends, the relay learns what the client's leg saw;
// only a transfer that reached its end says otherwise first. One that did
// not resets its legs: a site whose data connection merely closed would
// keep a part of an upload as the whole file.
struct OutcomeOnExit {
  TransferPlan* plan;
  Connection* legs;
  int count;
  ~OutcomeOnExit() {
    if (!plan) return;
    plan->finish(plan->client_open() ? Outcome::kCut : Outcome::kNoConnection);
    if (plan->outcome() == Outcome::kDelivered) return;
    for (int i = 0; i < count; ++i) legs[i].reset();
  }
};

// Runs the legs until they end; a transfer nobody wants any more (ABOR, a
// newer one, a session gone and nothing moving) has its legs shut under it.
template <class ShutAll>
void supervise_legs(TransferPlan& plan, ShutAll shut_all) {
  while (!plan.wait_legs(1000))
    if (plan.should_end()) {
      plan.cut();
      shut_all();
    }
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
  // However the bounce ends, the relay learns that no data moves any more.
  struct EndMark {
    TransferPlan* plan;
    ~EndMark() {
      if (plan) plan->bounce_ended();
    }
  } end_mark{plan};
  auto site_failed = [&](int site) {
    if (plan) plan->site_leg_failed(site);
  };
  // The client's leg last, in one array with the sites', so the exit sees them all.
  Connection conns[kMaxSites + 1];
  Connection* const site_legs = conns;
  Connection& client_leg = conns[kMaxSites];
  OutcomeOnExit tell{plan, conns, kMaxSites + 1};
  TransferPlan::Decision d;
  int error = 0;
  auto give_up = [plan] { return plan != nullptr && plan->should_end(); };

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
  // Neither waits on once the transfer is no longer wanted.
  auto protect_client = [&]() {
    if (!b.client_tls) return true;
    std::string why;
    const bool ok =
        client_leg.start_tls_unless(*b.client_tls, b.timeout_s * 1000, give_up, nullptr, &why) == TlsResult::ok;
    if (b.metrics) b.metrics->tls_handshake(TlsLeg::kClientData, ok);
    if (ok) return true;
    log_line('e', "TLS on the data connection of %s:%d failed (%s)\n", b.client_host, b.client_port, why.c_str());
    return false;
  };
  auto protect_site = [&](int leg) {
    if (!b.site_tls) return true;
    std::string why;
    const bool ok = site_legs[leg].start_tls_unless(*b.site_tls, b.timeout_s * 1000, give_up, b.site_stores[leg],
                                                    &why, b.site_names[leg]) == TlsResult::ok;
    if (b.metrics) b.metrics->tls_handshake(TlsLeg::kSiteData, ok);
    if (ok && b.metrics && site_legs[leg].tls_resumed()) b.metrics->tls_resumed(b.site_numbers[leg]);
    if (ok) return true;
    log_line('e', "TLS on the data connection to site %d failed (%s)\n", b.first_site + leg + 1, why.c_str());
    site_failed(b.first_site + leg);
    return false;
  };

  if (b.connect_to_sites) {
    if (!connect_sites_together(b, site_legs)) return;
    Waited w = b.listeners[0]
                   ? accept_from(*b.listeners[0], b.client_peer, b.timeout_s, plan, b.proxy_from, client_leg, &error)
                   : Waited::kNothing;
    if (accept_failed(b, w, 0, error)) return;
    if (plan) plan->mark_client_open();
    if (!protect_client()) return;
    d = await_decision(b);
  } else {
    // The client's connection comes first, as from a site of its own: a
    // site's completion reply, passed on once its data is sent, must not
    // reach a client that still waits for its data connection.
    if (!connect_to(0, client_leg)) return;
    if (plan) plan->mark_client_open();
    if (!protect_client()) return;
    // The sites connect only once a command tells them to, and only the
    // ones that take part: which ones is known first.
    d = await_decision(b);
    if (d.use != TransferPlan::Use::kListing && d.use != TransferPlan::Use::kSingleSite) return;
    for (int i = 0; i < b.listen_count; ++i) {
      if (d.use == TransferPlan::Use::kSingleSite && i != d.site - b.first_site) continue;
      if (!b.listeners[i]) return;
      Waited w = accept_from(*b.listeners[i], b.site_peers[i], b.timeout_s, plan, nullptr, site_legs[i], &error);
      if (accept_failed(b, w, i, error)) {
        if (w != Waited::kCancelled) site_failed(b.first_site + i);
        return;
      }
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
    CopyLeg copy{&site_legs[leg], &client_leg, plan, false, CopyEnd{}};
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
    supervise_legs(*plan, [&] {
      site_legs[leg].shutdown_both();
      client_leg.shutdown_both();
    });
    pthread_join(thread, nullptr);
    count_bytes(b, leg, copy.moved, Direction::kDown);
    // The data is through; the closes below wait on the peers, not on the site's reply.
    plan->bounce_ended();
    if (plan->cancelled()) return;
    if (copy.end.client_cut)
      log_line('e', "data connection of %s:%d was cut (no TLS close_notify): resetting site %d's\n", b.client_host,
               b.client_port, d.site + 1);
    if (copy.end.site_cut)
      log_line('e', "data connection to site %d was cut (no TLS close_notify): resetting the one of %s:%d\n",
               d.site + 1, b.client_host, b.client_port);
    if (copy.failed || !copy.end.whole) {
      // Security: a clean end would tell the peer it got everything.
      site_legs[leg].reset();
      client_leg.reset();
      return;
    }
    site_legs[leg].finish(kDataFinishMs);
    client_leg.finish(kDataFinishMs);
    plan->finish(Outcome::kDelivered);
    return;
  }
  if (d.use != TransferPlan::Use::kListing) return;

  if (!protect_sites_together(b, site_legs, n)) return;
  SeenNames seen;
  LegTurns turns(n);
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
    // Legs are in site order: a name several sites hold shows the first one's line.
    p.turns = &turns;
    p.leg = i;
    p.progress = plan ? plan->moved() : nullptr;
    legs[i].plan = plan;
    if (plan) plan->leg_started();
    int err = pthread_create(&threads[i], nullptr, pump_leg_main, &legs[i]);
    if (err != 0) {
      if (plan) plan->leg_finished();
      turns.done(i);
      log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
      continue;
    }
    running[i] = true;
  }
  if (plan)
    supervise_legs(*plan, [&] {
      client_leg.shutdown_both();
      for (int i = 0; i < kMaxSites; ++i) site_legs[i].shutdown_both();
    });
  bool whole = true;
  for (int i = 0; i < n; ++i) {
    if (running[i]) pthread_join(threads[i], nullptr);
    whole = whole && running[i] && legs[i].pump.whole;
    if (legs[i].pump.site_cut)
      log_line('e', "data connection to site %d was cut (no TLS close_notify): resetting the one of %s:%d\n",
               b.first_site + i + 1, b.client_host, b.client_port);
  }
  for (int i = 0; i < n; ++i) count_bytes(b, i, legs[i].pump.moved, Direction::kList);
  std::chrono::nanoseconds took{};
  if (b.metrics && plan && !plan->cancelled() && plan->since_command(std::chrono::steady_clock::now(), &took))
    b.metrics->root_listing(took);
  if (plan) plan->bounce_ended();
  if (plan && plan->cancelled()) return;
  if (!whole && plan) {
    // The client must not take a part of the listing for all of it.
    client_leg.reset();
    for (int i = 0; i < kMaxSites; ++i) site_legs[i].finish(kDataFinishMs);
    return;
  }
  client_leg.finish(kDataFinishMs);
  for (int i = 0; i < kMaxSites; ++i) site_legs[i].finish(kDataFinishMs);
  if (plan) plan->finish(Outcome::kDelivered);
}

}  // namespace ferrynet
