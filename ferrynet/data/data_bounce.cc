#include "ferrynet/data/data_bounce.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/bounce_pump.h"
#include "ferrynet/data/byte_copy.h"
#include "ferrynet/session/listing_kind.h"
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

void* pump_main(void* arg) {
  run_pump(*static_cast<BouncePump*>(arg));
  return nullptr;
}

}  // namespace

bool share_listing_kind(DataBounce& b, RelayState& st) {
  try {
    b.listing_kind = std::make_shared<std::atomic<int>>(kListingLong);
  } catch (const std::bad_alloc&) {
    return false;
  }
  st.listing_kind = b.listing_kind;
  return true;
}

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

void run_bounce(DataBounce& b) {
  const int n = b.sites;
  const int connect_count = b.connect_to_sites ? n : 1;
  const int accept_count = b.connect_to_sites ? 1 : n;
  SeenNames seen;
  std::mutex shared_write_lock;
  Connection connected[kMaxSites];
  Connection accepted[kMaxSites];

  for (int j = 0; j < connect_count; ++j) {
    ConnectOutcome out = connect_timed(b.hosts[j], b.ports[j], nullptr, 0, b.timeout_s);
    if (!out.ok()) {
      log_line('e', "cannot bounce data connection from %s:%d to %s:%d, timeouted (%ds)\n", b.client_host,
               b.client_port, b.hosts[j], static_cast<int>(b.ports[j]), b.timeout_s);
      return;
    }
    connected[j] = std::move(out.conn);
  }
  for (int i = 0; i < accept_count; ++i) {
    AcceptOutcome in = b.listeners[i] ? b.listeners[i]->accept(b.timeout_s) : AcceptOutcome{};
    if (in.status == AcceptStatus::kFailed) {
      log_line('e', "error on data connection accept (%s)\n", std::strerror(in.error));
      return;
    }
    if (in.status == AcceptStatus::kNothing) {
      log_line('e', "no data connection came to port %d within %ds\n", static_cast<int>(b.listen_ports[i]),
               b.timeout_s);
      return;
    }
    accepted[i] = std::move(in.conn);
  }

  if (b.byte_copy) {
    // One site, one client: no merge, so no pump thread either.
    if (copy_bytes(connected[0], accepted[0]) < 0)
      log_line('e', "system error on bounce connection (%s)\n", std::strerror(errno));
    return;
  }

  BouncePump pumps[kMaxSites];
  pthread_t threads[kMaxSites];
  bool running[kMaxSites] = {};
  Connection* client_end = b.connect_to_sites ? &accepted[0] : &connected[0];
  for (int i = 0; i < n; ++i) {
    BouncePump& p = pumps[i];
    p.first = b.connect_to_sites ? &connected[i] : &connected[0];
    p.second = b.connect_to_sites ? &accepted[0] : &accepted[i];
    p.shared = client_end;
    p.shared_write_lock = &shared_write_lock;
    p.seen = &seen;
    p.kind = b.listing_kind.get();
    int err = pthread_create(&threads[i], nullptr, pump_main, &p);
    if (err != 0) {
      log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
      continue;
    }
    running[i] = true;
  }
  for (int i = 0; i < n; ++i)
    if (running[i]) pthread_join(threads[i], nullptr);
}

}  // namespace ferrynet
