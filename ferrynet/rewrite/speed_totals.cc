#include "ferrynet/rewrite/speed_totals.h"

#include <cstdio>

#include "ferrynet/rewrite/reply_lines.h"

namespace ferrynet {

namespace {

constexpr size_t kTotalsColumn = 7;
constexpr const char kTotalsFormat[] = "Total upload speed:%i.%iK/s | Total download speed:%i.%iK/s";

// The format read as a scanner reads it: a blank takes any white space,
// "%i" one number, anything else must match. Returns the numbers read.
int scan_totals(std::string_view s, int32_t* values, int count) {
  size_t pos = 0;
  int got = 0;
  for (const char* f = kTotalsFormat; *f && got < count; ++f) {
    if (*f == ' ') {
      while (pos < s.size() && (s[pos] == ' ' || (s[pos] >= '\t' && s[pos] <= '\r'))) ++pos;
    } else if (f[0] == '%' && f[1] == 'i') {
      size_t used = scan_int(s.substr(pos), 0, &values[got]);
      if (used == 0) break;
      pos += used;
      ++got;
      ++f;
    } else {
      if (pos >= s.size() || s[pos] != *f) break;
      ++pos;
    }
  }
  return got;
}

}  // namespace

void add_speed_totals(std::string_view content, SpeedTotals& sums) {
  int32_t v[4] = {0, 0, 0, 0};
  scan_totals(columns(content, kTotalsColumn), v, 4);
  sums.up_whole += v[0];
  sums.up_tenths += v[1];
  sums.down_whole += v[2];
  sums.down_tenths += v[3];
}

std::string format_speed(int64_t whole, int64_t tenths) {
  // Kept as one count of tenths, so that a negative part cannot print as "5.-3".
  int64_t total = whole * 10 + tenths;
  const bool negative = total < 0;
  if (negative) total = -total;
  char text[48];
  std::snprintf(text, sizeof text, "%s%d.%d", negative ? "-" : "", clamp32(total / 10),
                static_cast<int>(total % 10));
  return text;
}

void place_ending_at(std::string& line, std::string_view text, size_t last_col) {
  const size_t end = last_col + 1;
  if (line.size() < end) line.resize(end, ' ');
  if (text.size() > end) text.remove_prefix(text.size() - end);
  line.replace(end - text.size(), text.size(), text);
}

}  // namespace ferrynet
