// Fixed sizes of the data side. Like the core's limits they are not settings.
#pragma once

#include <cstddef>

namespace ferrynet {

// Bytes one step of a merged listing reads: its whole lines leave in one write.
inline constexpr size_t kCopyChunk = 256 * 1024;
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
// Lines of one read a listing filter judges together: their names are
// looked up under one lock, their places in the table fetched side by side.
// Legs on other cores take the lock in turn: fewer, longer turns cost less,
// up to where a window no longer fits the first-level cache.
inline constexpr size_t kFilterWindow = 256;
inline constexpr size_t kSeenFirstSlots = 8192;        // the seen-names table's first size
inline constexpr size_t kSeenBlock = 64 * 1024;        // the seen names' bytes are kept in blocks of this
// What a later site's leg keeps of its listing while an earlier site's still
// runs; beyond it the leg stops reading until its turn, and the site waits.
inline constexpr size_t kListingHoldMax = 64u << 20;
// A kept block with less room than this is left for a new one: a site that
// sends in small reads must not cost a block per read.
inline constexpr size_t kHeldRoomMin = 16 * 1024;
// How often a leg that keeps its site's lines looks whether its turn has come.
inline constexpr int kTurnCheckMs = 20;
// Memory of ended merges kept for the next ones (see merge_memory.h): at
// most this much, so an idle daemon holds little.
inline constexpr size_t kMergeKeptMax = 16u << 20;

}  // namespace ferrynet
