// Turns one direction of a data leg into whole lines for a merged listing:
// the stream's leading "total" line and entries whose names some leg has
// already passed are dropped, everything else goes on one line at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "ferrynet/data/data_limits.h"
#include "ferrynet/session/listing_kind.h"
#include "ferrynet/data/seen_names.h"

namespace ferrynet {

// The name of a listing line, its LF and a CR before it removed, cut to
// kNameMax. In a long listing: what follows the blank after the first
// "Mon DD HH:MM" or "Mon DD  YYYY" that comes after a size, wherever a server
// puts its columns, a symbolic link's " -> target" left off; column 55 on
// when no date reads so. The whole line in a name listing, what follows the
// first "; " in a facts listing. Empty when the line holds none; such lines
// are never compared.
std::string_view listing_name(const char* line, size_t len, int kind = kListingLong);

class ListingFilter {
 public:
  // `kind` (a ListingKind) is read as the lines come: the listing command
  // that sets it may come after the filter was made. None means a long listing.
  explicit ListingFilter(SeenNames& seen, const std::atomic<int>* kind = nullptr) : seen_(seen), kind_(kind) {}

  // Takes the bytes of one read. `emit(const char*, size_t)` gets every piece
  // to pass on, one whole line per call, and returns false when it could not
  // write; feeding stops there and returns false. A piece from inside `data`
  // points there, so lines that follow each other in the read follow each
  // other in memory too. The seen names are never held while emit runs.
  template <class Emit>
  bool feed(const char* data, size_t n, Emit&& emit);
  // End of the stream: a last line without LF is judged and passed like any other.
  template <class Emit>
  bool finish(Emit&& emit);

 private:
  // True when the complete line is to be passed on. The caller holds seen_.
  bool keep(const char* line, size_t len);
  // Judges the complete lines of `data` from `pos` on, up to kFilterWindow of them,
  // that lie wholly in `data`: their names are found and hashed first, then
  // looked up under one lock. Returns where the last of them ends.
  size_t judge_window(const char* data, size_t n, size_t pos);

  struct Line {
    size_t start, len;  // in the read
    std::string_view name;
    uint64_t hash;
    bool pass;
  };

  SeenNames& seen_;
  const std::atomic<int>* kind_;
  std::string held_;      // the unfinished line of earlier reads
  bool first_line_ = true;
  bool overlong_ = false;  // inside a line too long to hold: pass it as it comes
  Line window_[kFilterWindow];
  size_t window_count_ = 0;
};

inline size_t ListingFilter::judge_window(const char* data, size_t n, size_t pos) {
  const int kind = kind_ ? kind_->load(std::memory_order_acquire) : kListingLong;
  window_count_ = 0;
  while (window_count_ < kFilterWindow && pos < n) {
    const char* lf = static_cast<const char*>(std::memchr(data + pos, '\n', n - pos));
    if (lf == nullptr) break;
    const size_t stop = static_cast<size_t>(lf - data) + 1;
    Line& l = window_[window_count_++];
    l.start = pos;
    l.len = stop - pos;
    l.name = listing_name(data + pos, stop - pos, kind);
    l.hash = l.name.empty() ? 0 : seen_.hash(l.name);
    pos = stop;
  }
  std::lock_guard<SeenNames> hold(seen_);
  // Every place is asked for before the first is needed: the misses overlap.
  for (size_t i = 0; i < window_count_; ++i)
    if (!window_[i].name.empty()) seen_.prefetch_held(window_[i].hash);
  for (size_t i = 0; i < window_count_; ++i) {
    Line& l = window_[i];
    l.pass = l.name.empty() || seen_.first_sighting_held(l.name, l.hash);
  }
  return pos;
}

template <class Emit>
bool ListingFilter::feed(const char* data, size_t n, Emit&& emit) {
  size_t pos = 0;
  while (pos < n) {
    const char* lf = static_cast<const char*>(std::memchr(data + pos, '\n', n - pos));
    const size_t stop = lf ? static_cast<size_t>(lf - data) + 1 : n;
    if (overlong_) {
      if (!emit(data + pos, stop - pos)) return false;
      overlong_ = lf == nullptr;
      pos = stop;
      continue;
    }
    if (lf == nullptr) {
      held_.append(data + pos, n - pos);
      if (held_.size() > kLineHoldMax) {
        first_line_ = false;
        overlong_ = true;
        bool ok = emit(held_.data(), held_.size());
        held_.clear();
        return ok;
      }
      return true;
    }
    if (held_.empty() && !first_line_) {
      // The common case: lines wholly in this read, judged a window at a time.
      const size_t end = judge_window(data, n, pos);
      for (size_t i = 0; i < window_count_; ++i)
        if (window_[i].pass && !emit(data + window_[i].start, window_[i].len)) return false;
      pos = end;
      continue;
    }
    // A line begun in an earlier read, or the stream's first: one at a time.
    const char* line = data + pos;
    size_t len = stop - pos;
    if (!held_.empty()) {
      held_.append(data + pos, stop - pos);
      line = held_.data();
      len = held_.size();
    }
    bool pass;
    {
      std::lock_guard<SeenNames> hold(seen_);
      pass = keep(line, len);
    }
    bool ok = !pass || emit(line, len);
    held_.clear();
    if (!ok) return false;
    pos = stop;
  }
  return true;
}

template <class Emit>
bool ListingFilter::finish(Emit&& emit) {
  if (held_.empty()) return true;
  bool pass;
  {
    std::lock_guard<SeenNames> hold(seen_);
    pass = keep(held_.data(), held_.size());
  }
  bool ok = !pass || emit(held_.data(), held_.size());
  held_.clear();
  return ok;
}

}  // namespace ferrynet
