// Search of one piece of a description file for a disk notation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace blurbread {

// The first non-zero disk count found in text[0..length), trying every start
// position in turn and at each the given patterns in order; 0 when none.
// Never reads text[length] or beyond.
int32_t find_disk_count(const char* text, size_t length, const char* const* patterns,
                        size_t pattern_count);

// The same with the table `search`.
int32_t find_disk_count(const char* text, size_t length);

}  // namespace blurbread
