// What one data transfer carried by the daemon is for, shared by the relay
// (which learns it from the client's command, or from the site that
// accepted it) and the bounce (which is started before either).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ferrynet/session/listing_kind.h"

namespace ferrynet {

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

  // The bounce's legs report their end; the bouncer waits for all of them or a cancel.
  void leg_started();
  void leg_finished();
  // True when every leg has finished, false when cancelled first or the limit ran out.
  bool wait_legs(int limit_ms);

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
  bool moved() const { return moved_.load(std::memory_order_relaxed); }
  // True the first time only: the relay takes the bounce for the transfer
  // command it has in hand; a later command never takes an old bounce.
  bool claim() { return !claimed_.exchange(true, std::memory_order_relaxed); }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  Decision decision_;  // guarded by lock_
  int legs_running_ = 0;  // guarded by lock_
  std::atomic<int> listing_kind_{kListingLong};
  std::atomic<int> failed_site_{-1};
  std::atomic<bool> ended_{false};
  std::atomic<bool> claimed_{false};
  std::atomic<bool> moved_{false};
};

}  // namespace ferrynet
