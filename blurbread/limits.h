// Fixed sizes of the description reader. The read size decides which
// notations are found at all (each piece is searched on its own), so it is
// part of the behaviour, not a tuning knob.
#pragma once

#include <cstddef>

namespace blurbread {

inline constexpr size_t kReadSize = 4096;          // bytes per read of the file
inline constexpr size_t kBufferSize = kReadSize + 1;  // removespaces ends the text with a zero byte
inline constexpr size_t kMaxCaptured = 3;          // "#" elements a pattern may hold

}  // namespace blurbread
