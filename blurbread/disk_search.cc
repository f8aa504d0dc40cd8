#include "blurbread/disk_search.h"

#include "blurbread/blurbread.h"
#include "blurbread/pattern_match.h"

namespace blurbread {

int32_t find_disk_count(const char* text, size_t length) {
  for (size_t pos = 0; pos < length; ++pos) {
    for (const char* pattern : search) {
      int32_t count = 0;
      // A count of 0 ("00", blanks) is no notation; a later one may be.
      if (match_at(pattern, text, length, pos, &count) && count != 0) return count;
    }
  }
  return 0;
}

}  // namespace blurbread
