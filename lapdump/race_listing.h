// Prints the records of a race data file as readable blocks.
#ifndef LAPDUMP_RACE_LISTING_H
#define LAPDUMP_RACE_LISTING_H

#include <cstdint>
#include <cstdio>

namespace lapdump {

// The status text of a record; "Unknown (N)" for a value without one,
// written into room (which holds at least kStatusTextSize bytes).
inline constexpr size_t kStatusTextSize = 16;
const char* status_text(uint8_t status, char* room);

enum class ListingEnd { kEof, kCorrupted };

// Lists the file open on fd from its start: the banner, one block per
// record, then "|-[EOF]" or, at the first damaged record, "|-[CORRUPTED]".
ListingEnd list_race_data(int fd, std::FILE* out);

}  // namespace lapdump

#endif
