// What one data transfer carried by the daemon is for, shared by the relay
// (which learns it from the client's command, or from the site that
// accepted it) and the bounce (which is started before either).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ferrynet/core/metrics.h"
#include "ferrynet/session/listing_kind.h"

namespace ferrynet {

// How long a transfer whose client has left may sit idle before it ends.
inline constexpr int kOrphanIdleSeconds = 5;

class TransferPlan {
 public:
  enum class Use {
    kUndecided,
    kListing,     // every site's listing merged
    kSingleSite,  // one site's transfer passed on byte for byte
    kCancelled,   // a newer transfer or the end of the session took its place
  };
  struct Decision {
    Use use = Use::kUndecided;
    int site = -1;
  };
  // What happened on the client's leg, which the final reply has to tell.
  enum class Outcome {
    kRunning,
    kDelivered,     // every byte reached its receiver
    kNoConnection,  // the client's data connection never came
    kCut,           // the client's leg failed, was cut, or the transfer was ended
  };

  // The first decision holds; later ones change nothing.
  void decide_listing(int listing_kind);
  void decide_single_site(int site);
  // Ends the bounce: at once while it waits, or by closing its legs while data moves.
  void cancel();
  // Cancels it only if no data moves yet; true when it did.
  bool cancel_if_undecided();

  Decision decision();
  // Waits at most `limit_ms` for a decision (kUndecided after the limit).
  Decision wait_decision(int limit_ms);
  bool cancelled();
  // Ends a running transfer as cut: ABOR, or a session that gives it up.
  void cut();

  // The client's data connection is there (accepted, or connected in active mode).
  void mark_client_open();
  bool client_open();
  // The first outcome holds; the relay reads it for the final reply.
  void finish(Outcome outcome);
  Outcome outcome();
  // The outcome once the transfer has one, or kRunning after `limit_ms`.
  Outcome wait_outcome(int limit_ms);

  // The client's control connection is gone: undecided transfers end at
  // once, the others once nothing has moved for kOrphanIdleSeconds.
  void orphan();
  // Bytes moved on any leg, counted by the legs themselves (relaxed).
  std::atomic<long long>* moved() { return &moved_; }
  // Cancelled, or orphaned and idle for too long: the bounce is to end.
  bool should_end();

  // The bounce's legs report their end; the bouncer waits for all of them or a cancel.
  void leg_started();
  void leg_finished();
  // True when every leg has finished, false when cancelled first or the limit ran out.
  bool wait_legs(int limit_ms);

  // The client's transfer command, for the counts: the first one holds.
  void note_command(Direction d, std::chrono::steady_clock::time_point at);
  // The direction the command named; `otherwise` before any command came.
  Direction direction(Direction otherwise) const;
  // Since the command; none before it came.
  bool since_command(std::chrono::steady_clock::time_point now, std::chrono::nanoseconds* took) const;

  // Read line by line by the merge, so it is an atomic of its own.
  const std::atomic<int>* listing_kind() const { return &listing_kind_; }

  // The daemon's own data leg to `site` failed: the relay ends that site's
  // side of the transfer, and the client hears of it. -1: none failed.
  void site_leg_failed(int site) { failed_site_.store(site, std::memory_order_relaxed); }
  int failed_site() const { return failed_site_.load(std::memory_order_relaxed); }
  // Every data leg of the bounce is through: a site still owes only its completion reply.
  void bounce_ended() { ended_.store(true, std::memory_order_release); }
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // Some leg got both its ends: data went through the daemon.
  bool legs_began() const { return legs_began_.load(std::memory_order_relaxed); }
  // True the first time only: the relay takes the bounce for the transfer
  // command it has in hand; a later command never takes an old bounce.
  bool claim() { return !claimed_.exchange(true, std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;

  std::mutex lock_;
  std::condition_variable changed_;
  Decision decision_;  // guarded by lock_
  int legs_running_ = 0;  // guarded by lock_
  bool client_open_ = false;  // guarded by lock_
  Outcome outcome_ = Outcome::kRunning;  // guarded by lock_
  bool orphaned_ = false;  // guarded by lock_
  long long moved_seen_ = 0;  // guarded by lock_
  Clock::time_point last_move_;  // guarded by lock_
  std::atomic<long long> moved_{0};
  std::atomic<int> listing_kind_{kListingLong};
  std::atomic<int> direction_{-1};
  std::atomic<int64_t> command_at_ns_{0};  // published by direction_
  std::atomic<int> failed_site_{-1};
  std::atomic<bool> ended_{false};
  std::atomic<bool> claimed_{false};
  std::atomic<bool> legs_began_{false};
};

}  // namespace ferrynet
