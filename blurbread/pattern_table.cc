// The disk notations, in the order they are tried at one position.
#include "blurbread/blurbread.h"
#include "blurbread/limits.h"
#include "blurbread/pattern_match.h"

extern "C" constexpr const char* const search[BLURBREAD_PATTERN_COUNT] = {
    "[?!/##]",      "(?!/##)",   "[?!!/###]", "(?!!/###)",  "[?/#]", "(?/#)",
    "[disk:!!/##]", "o?/o#",     "disks[!!/##", " !/# ",     " !!/##&/", "&/!!/## ",
    "[!!/#]",       ": ?!/##&/", "xx/##",     "<!!/##>",
};

extern "C" constexpr int32_t strings = BLURBREAD_PATTERN_COUNT;

namespace {

// Matching keeps captured characters in room for three and compares with
// lower-cased text, so a pattern outside those rules would silently never
// match as intended.
constexpr bool table_is_sound() {
  for (const char* pattern : search) {
    if (pattern[0] == '\0') return false;
    if (blurbread::captured_elements(pattern) > blurbread::kMaxCaptured) return false;
    for (const char* p = pattern; *p != '\0'; ++p)
      if (*p >= 'A' && *p <= 'Z') return false;
  }
  return true;
}
static_assert(table_is_sound());

}  // namespace
