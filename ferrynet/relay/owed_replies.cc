#include "ferrynet/relay/owed_replies.h"

#include <cstring>

namespace ferrynet {

Owed use_up_owed(Slice& slice, Owed owed) {
  while (owed != Owed::kNone) {
    const int l = slice.line_length();
    if (l <= 0) {
      // A line longer than a slice: none of it is wanted.
      if (slice.full()) slice.clear();
      return owed;
    }
    const bool final_line = is_final_line(slice.data(), l);
    // A transfer's replies and an ABOR's are never 200: that is the NOOP's.
    const bool noop_answer = final_line && std::memcmp(slice.data(), "200", 3) == 0;
    slice.drop_front(l);
    if (final_line && (owed == Owed::kOneReply || noop_answer)) owed = Owed::kNone;
  }
  return owed;
}

}  // namespace ferrynet
