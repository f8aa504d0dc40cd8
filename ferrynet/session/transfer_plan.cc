#include "ferrynet/session/transfer_plan.h"

#include <chrono>

namespace ferrynet {

void TransferPlan::decide_listing(int listing_kind) {
  std::lock_guard<std::mutex> hold(lock_);
  if (decision_.use != Use::kUndecided) return;
  // Stored before the decision is seen, so no leg reads the wrong kind.
  listing_kind_.store(listing_kind, std::memory_order_release);
  decision_.use = Use::kListing;
  changed_.notify_all();
}

void TransferPlan::decide_single_site(int site) {
  std::lock_guard<std::mutex> hold(lock_);
  if (decision_.use != Use::kUndecided) return;
  decision_.use = Use::kSingleSite;
  decision_.site = site;
  changed_.notify_all();
}

void TransferPlan::cancel() {
  std::lock_guard<std::mutex> hold(lock_);
  decision_.use = Use::kCancelled;
  changed_.notify_all();
}

bool TransferPlan::cancel_if_undecided() {
  std::lock_guard<std::mutex> hold(lock_);
  if (decision_.use != Use::kUndecided) return false;
  decision_.use = Use::kCancelled;
  changed_.notify_all();
  return true;
}

void TransferPlan::cut() {
  std::lock_guard<std::mutex> hold(lock_);
  decision_.use = Use::kCancelled;
  if (outcome_ == Outcome::kRunning) outcome_ = Outcome::kCut;
  changed_.notify_all();
}

void TransferPlan::mark_client_open() {
  std::lock_guard<std::mutex> hold(lock_);
  client_open_ = true;
}

bool TransferPlan::client_open() {
  std::lock_guard<std::mutex> hold(lock_);
  return client_open_;
}

void TransferPlan::finish(Outcome outcome) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (outcome_ != Outcome::kRunning) return;
    outcome_ = outcome;
  }
  changed_.notify_all();
}

TransferPlan::Outcome TransferPlan::wait_outcome(int limit_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::milliseconds(limit_ms), [this] { return outcome_ != Outcome::kRunning; });
  return outcome_;
}

TransferPlan::Outcome TransferPlan::outcome() {
  std::lock_guard<std::mutex> hold(lock_);
  return outcome_;
}

void TransferPlan::orphan() {
  std::lock_guard<std::mutex> hold(lock_);
  // No command will ever say what an undecided transfer carries.
  if (decision_.use == Use::kUndecided) decision_.use = Use::kCancelled;
  orphaned_ = true;
  moved_seen_ = moved_.load(std::memory_order_relaxed);
  last_move_ = Clock::now();
  changed_.notify_all();
}

bool TransferPlan::should_end() {
  std::lock_guard<std::mutex> hold(lock_);
  if (decision_.use == Use::kCancelled) return true;
  if (!orphaned_) return false;
  const Clock::time_point now = Clock::now();
  const long long moved = moved_.load(std::memory_order_relaxed);
  if (moved != moved_seen_) {
    moved_seen_ = moved;
    last_move_ = now;
  }
  return now - last_move_ >= std::chrono::seconds(kOrphanIdleSeconds);
}

TransferPlan::Decision TransferPlan::decision() {
  std::lock_guard<std::mutex> hold(lock_);
  return decision_;
}

TransferPlan::Decision TransferPlan::wait_decision(int limit_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::milliseconds(limit_ms), [this] { return decision_.use != Use::kUndecided; });
  return decision_;
}

bool TransferPlan::cancelled() {
  std::lock_guard<std::mutex> hold(lock_);
  return decision_.use == Use::kCancelled;
}

void TransferPlan::leg_started() {
  legs_began_.store(true, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(lock_);
  ++legs_running_;
}

void TransferPlan::leg_finished() {
  std::lock_guard<std::mutex> hold(lock_);
  --legs_running_;
  changed_.notify_all();
}

bool TransferPlan::wait_legs(int limit_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::milliseconds(limit_ms),
                    [this] { return legs_running_ == 0 || decision_.use == Use::kCancelled; });
  return legs_running_ == 0;
}

void TransferPlan::note_command(Direction d, std::chrono::steady_clock::time_point at) {
  if (direction_.load(std::memory_order_relaxed) >= 0) return;
  command_at_ns_.store(at.time_since_epoch().count(), std::memory_order_relaxed);
  direction_.store(static_cast<int>(d), std::memory_order_release);
}

Direction TransferPlan::direction(Direction otherwise) const {
  const int d = direction_.load(std::memory_order_acquire);
  return d < 0 ? otherwise : static_cast<Direction>(d);
}

bool TransferPlan::since_command(std::chrono::steady_clock::time_point now, std::chrono::nanoseconds* took) const {
  if (direction_.load(std::memory_order_acquire) < 0) return false;
  const std::chrono::steady_clock::duration at(command_at_ns_.load(std::memory_order_relaxed));
  *took = now - std::chrono::steady_clock::time_point(at);
  return true;
}

}  // namespace ferrynet
