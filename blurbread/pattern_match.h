// One disk notation pattern against one place of a compacted text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace blurbread {

// True when `pattern` matches text[pos..] with every element inside
// text[0..length); a pattern that would need a byte at or past `length` does
// not match. On a match *count receives the captured characters read as a
// decimal number (0 when they hold none).
bool match_at(const char* pattern, const char* text, size_t length, size_t pos, int32_t* count);

// Number of "#" elements in a pattern; "&#" is "anything but #" and captures
// nothing. Usable at compile time so the table can be checked there.
constexpr size_t captured_elements(const char* pattern) {
  size_t n = 0;
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '&' && p[1] != '\0') {
      ++p;
    } else if (*p == '#') {
      ++n;
    }
  }
  return n;
}

}  // namespace blurbread
