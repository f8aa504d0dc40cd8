#include "blurbread/blurbread.h"

namespace {

// Locale-independent: descriptions come in any code page, and only ASCII
// letters take part in the patterns.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_gap(char c) { return c == '\0' || c == '\n' || c == ' '; }

}  // namespace

extern "C" void removespaces(char* buffer, int32_t count) {
  // A negative count promises no room at all, not even for the terminator.
  if (buffer == nullptr || count < 0) return;
  int32_t out = 0;
  bool in_gap = false;
  for (int32_t in = 0; in < count; ++in) {
    const char c = buffer[in];
    if (is_gap(c)) {
      if (!in_gap) buffer[out++] = ' ';
      in_gap = true;
    } else {
      buffer[out++] = ascii_lower(c);
      in_gap = false;
    }
  }
  buffer[out] = '\0';
}
