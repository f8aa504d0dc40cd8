// Line operations on one reply slice; every one stays inside the slice.
#pragma once

#include <cstring>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/net.h"

namespace ferrynet {

// Length of the slice's first line with its LF, -1 when it has none.
inline int slice_line_length(const char* slice) { return line_length(slice, kSliceSize); }

// Bytes of text before the first zero byte (never more than the slice).
inline int slice_text_length(const char* slice) {
  const void* z = std::memchr(slice, '\0', kSliceSize);
  return z ? static_cast<int>(static_cast<const char*>(z) - slice) : kSliceSize;
}

// Shifts the first `len` bytes out and zero-fills the freed tail.
inline void slice_drop(char* slice, int len) {
  if (len <= 0) return;
  if (len > kSliceSize) len = kSliceSize;
  std::memmove(slice, slice + len, kSliceSize - len);
  std::memset(slice + kSliceSize - len, 0, len);
}

// A reply line whose fourth character is a blank ends its reply.
inline bool is_final_line(const char* line, int len) { return len > 3 && line[3] == ' '; }

}  // namespace ferrynet
