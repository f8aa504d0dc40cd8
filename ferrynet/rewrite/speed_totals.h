// The totals line of a who-list: its two speeds read, summed over the sites
// and written back at their columns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ferrynet {

// Sums of the integer parts and of the tenths, per direction; 64 bits so
// that three sites of any 32-bit numbers add up without overflow.
struct SpeedTotals {
  int64_t up_whole = 0, up_tenths = 0;
  int64_t down_whole = 0, down_tenths = 0;
};

// Adds the numbers of one totals line (the line without its line end). A
// line that stops matching its format adds what was read before the mismatch.
void add_speed_totals(std::string_view content, SpeedTotals& sums);
// "%i.%i" of a sum: tenths carry into the integer part.
std::string format_speed(int64_t whole, int64_t tenths);
// Overwrites `line` so that `text` ends at column `last_col`; a short line is
// padded with blanks, a text too wide keeps only what fits from column 0.
void place_ending_at(std::string& line, std::string_view text, size_t last_col);

}  // namespace ferrynet
