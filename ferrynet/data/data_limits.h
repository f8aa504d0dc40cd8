// Fixed sizes of the data side. Like the core's limits they are not settings.
#pragma once

#include <cstddef>

namespace ferrynet {

inline constexpr size_t kCopyChunk = 1024;       // bytes one copy step reads
// One read of a data connection carried unchanged: large files must not
// cost a system call per kilobyte.
inline constexpr size_t kRawChunk = 256 * 1024;
inline constexpr size_t kNameColumn = 55;        // where a listing line's name starts
inline constexpr size_t kNameMax = 255;          // characters of a name that are compared
inline constexpr int kHostSlot = 64;             // one dotted-quad target, NUL included
// A line longer than this cannot be an entry; it is passed on in pieces
// rather than held, so a stream without line ends cannot exhaust memory.
inline constexpr size_t kLineHoldMax = 64 * 1024;
inline constexpr int kLowestDataPort = 1024;     // a client's PORT below this is refused

}  // namespace ferrynet
