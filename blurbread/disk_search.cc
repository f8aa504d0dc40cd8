#include "blurbread/disk_search.h"

#include "blurbread/blurbread.h"
#include "blurbread/pattern_match.h"

namespace blurbread {

int32_t find_disk_count(const char* text, size_t length, const char* const* patterns,
                        size_t pattern_count) {
  for (size_t pos = 0; pos < length; ++pos) {
    for (size_t i = 0; i < pattern_count; ++i) {
      int32_t count = 0;
      // A count of 0 ("00", blanks) is no notation; a later one may be.
      if (match_at(patterns[i], text, length, pos, &count) && count != 0) return count;
    }
  }
  return 0;
}

int32_t find_disk_count(const char* text, size_t length) {
  return find_disk_count(text, length, search, BLURBREAD_PATTERN_COUNT);
}

}  // namespace blurbread
