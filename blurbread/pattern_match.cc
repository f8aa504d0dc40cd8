#include "blurbread/pattern_match.h"

#include "blurbread/limits.h"

namespace blurbread {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Captured text is digits and blanks only; blanks in front are skipped and
// the first blank after a digit ends the number.
int32_t captured_count(const char* captured, size_t length) {
  size_t i = 0;
  while (i < length && captured[i] == ' ') ++i;
  int32_t value = 0;
  for (; i < length && is_digit(captured[i]); ++i) value = value * 10 + (captured[i] - '0');
  return value;
}

}  // namespace

bool match_at(const char* pattern, const char* text, size_t length, size_t pos, int32_t* count) {
  char captured[kMaxCaptured];
  size_t captured_length = 0;
  size_t at = pos;
  for (const char* p = pattern; *p != '\0'; ++p, ++at) {
    if (at >= length) return false;
    const char c = text[at];
    bool ok;
    switch (*p) {
      case '?':
        ok = true;
        break;
      case '!':
        ok = is_digit(c) || c == 'o' || c == 'x';
        break;
      case '#':
        ok = is_digit(c) || c == ' ';
        // The table is checked for at most three; a longer pattern would
        // only lose its later digits, never overrun.
        if (ok && captured_length < kMaxCaptured) captured[captured_length++] = c;
        break;
      case '&':
        if (p[1] == '\0') {
          ok = c == '&';  // a lone trailing "&" stands for itself
        } else {
          ++p;
          ok = c != *p;
        }
        break;
      default:
        ok = c == *p;
        break;
    }
    if (!ok) return false;
  }
  *count = captured_count(captured, captured_length);
  return true;
}

}  // namespace blurbread
