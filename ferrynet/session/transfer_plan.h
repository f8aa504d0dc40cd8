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

  // The client's transfer command, for the counts: the first one holds.
  void note_command(Direction d, std::chrono::steady_clock::time_point at);
  // The direction the command named; `otherwise` before any command came.
  Direction direction(Direction otherwise) const;
  // Since the command; none before it came.
  bool since_command(std::chrono::steady_clock::time_point now, std::chrono::nanoseconds* took) const;

  // Read line by line by the merge, so it is an atomic of its own.
  const std::atomic<int>* listing_kind() const { return &listing_kind_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  Decision decision_;  // guarded by lock_
  int legs_running_ = 0;  // guarded by lock_
  std::atomic<int> listing_kind_{kListingLong};
  std::atomic<int> direction_{-1};
  std::atomic<int64_t> command_at_ns_{0};  // published by direction_
};

}  // namespace ferrynet
