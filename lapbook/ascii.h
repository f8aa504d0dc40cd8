// Letter case as the site's file names use it: ASCII only, whatever the
// locale of the linking program, so a name folds the same on every call.
#ifndef LAPBOOK_ASCII_H
#define LAPBOOK_ASCII_H

#include <cstddef>

namespace lapbook {

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// strcmp's sign after folding both texts to lower case.
inline int compare_ignoring_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    auto ca = static_cast<unsigned char>(ascii_lower(*a));
    auto cb = static_cast<unsigned char>(ascii_lower(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

}  // namespace lapbook

#endif
