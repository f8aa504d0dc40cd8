// The names a merged listing has already passed on, shared by every leg of one bounce.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "ferrynet/data/merge_memory.h"

namespace ferrynet {

class SeenNames {
 public:
  SeenNames();
  SeenNames(const SeenNames&) = delete;
  SeenNames& operator=(const SeenNames&) = delete;

  // True for the first caller with this name (exact, case-sensitive); the
  // name is then remembered for the rest of the bounce. Should memory run
  // out, the name passes without being remembered: a listing that may show
  // a name twice beats one that loses it.
  bool first_sighting(std::string_view name) {
    std::lock_guard<std::mutex> hold(lock_);
    return first_sighting_held(name);
  }
  size_t size() {
    std::lock_guard<std::mutex> hold(lock_);
    return count_;
  }

  // For a run of names under one lock (a read's worth of lines): lock(),
  // first_sighting_held() for each, unlock(). Never hold it while writing to
  // a connection.
  void lock() { lock_.lock(); }
  void unlock() { lock_.unlock(); }
  bool first_sighting_held(std::string_view name) { return first_sighting_held(name, hash(name)); }

  // The same in steps, for many names at once: hash() each without the
  // lock, then under it prefetch_held() them all (their places in the table
  // are fetched into the processor's cache, the misses overlapping), then
  // first_sighting_held() each with its hash.
  uint64_t hash(std::string_view name) const;
  void prefetch_held(uint64_t hash) const {
    if (table_.valid()) __builtin_prefetch(reinterpret_cast<const Slot*>(table_.data()) + (hash & mask_));
  }
  bool first_sighting_held(std::string_view name, uint64_t hash);

 private:
  // An open-addressed table (linear probing) of references into blocks that
  // hold the names' bytes: no allocation per name, memory linear in the names.
  struct Slot {
    uint32_t hash;  // the low half of the name's hash: its place, and compared before the bytes
    uint32_t at;    // 1 + where the name is (see kUnitBits); 0: empty
  };

  bool grow_table();
  // Where a name of `need` bytes (length and bytes, rounded to kUnit) goes:
  // its `at`, or 0 when no memory could be had.
  uint32_t make_room(size_t need);
  const unsigned char* stored(uint32_t at) const;

  std::mutex lock_;
  MergeBlock table_;   // Slot[mask_ + 1]
  size_t mask_ = 0;    // the slot count, a power of two, less one
  size_t count_ = 0;
  // Chosen per set (set once, before any other thread sees it), so a site
  // cannot choose names that all collide.
  uint64_t seeds_[3];
  // Each name: its length (4 bytes), its bytes, padding to 8 bytes.
  std::vector<MergeBlock> blocks_;
  size_t used_ = 0;    // bytes used of the last block
};

}  // namespace ferrynet
