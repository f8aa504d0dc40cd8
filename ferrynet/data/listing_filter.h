// Turns one direction of a data leg into whole lines for a merged listing:
// the stream's leading "total" line and entries whose names some leg has
// already passed are dropped, everything else goes on one line at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
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
  // `kind` (a ListingKind) is read line by line: the listing command that
  // sets it may come after the filter was made. None means a long listing.
  explicit ListingFilter(SeenNames& seen, const std::atomic<int>* kind = nullptr) : seen_(seen), kind_(kind) {}

  // Takes the bytes of one read. `emit(const char*, size_t)` gets every piece
  // to pass on, one whole line per call, and returns false when it could not
  // write; feeding stops there and returns false.
  template <class Emit>
  bool feed(const char* data, size_t n, Emit&& emit);
  // End of the stream: a last line without LF is judged and passed like any other.
  template <class Emit>
  bool finish(Emit&& emit);

 private:
  // True when the complete line is to be passed on.
  bool keep(const char* line, size_t len);

  SeenNames& seen_;
  const std::atomic<int>* kind_;
  std::string held_;      // the unfinished line of earlier reads
  bool first_line_ = true;
  bool overlong_ = false;  // inside a line too long to hold: pass it as it comes
};

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
    bool ok = true;
    if (held_.empty()) {
      if (keep(data + pos, stop - pos)) ok = emit(data + pos, stop - pos);
    } else {
      held_.append(data + pos, stop - pos);
      if (keep(held_.data(), held_.size())) ok = emit(held_.data(), held_.size());
      held_.clear();
    }
    if (!ok) return false;
    pos = stop;
  }
  return true;
}

template <class Emit>
bool ListingFilter::finish(Emit&& emit) {
  if (held_.empty()) return true;
  bool ok = true;
  if (keep(held_.data(), held_.size())) ok = emit(held_.data(), held_.size());
  held_.clear();
  return ok;
}

}  // namespace ferrynet
