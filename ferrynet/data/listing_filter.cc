#include "ferrynet/data/listing_filter.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace ferrynet {

namespace {

std::string_view cut(const char* name, size_t n) { return std::string_view(name, n > kNameMax ? kNameMax : n); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t digits_at(const char* line, size_t len, size_t i) {
  size_t n = 0;
  while (i + n < len && is_digit(line[i + n])) ++n;
  return n;
}

constexpr uint32_t month_key(const char* p) {
  return uint32_t{static_cast<unsigned char>(p[0])} << 16 | uint32_t{static_cast<unsigned char>(p[1])} << 8 |
         static_cast<unsigned char>(p[2]);
}

bool is_month(const char* p) {
  switch (month_key(p)) {
    case month_key("Jan"): case month_key("Feb"): case month_key("Mar"): case month_key("Apr"):
    case month_key("May"): case month_key("Jun"): case month_key("Jul"): case month_key("Aug"):
    case month_key("Sep"): case month_key("Oct"): case month_key("Nov"): case month_key("Dec"):
      return true;
    default:
      return false;
  }
}

// Where the name begins when the month at `m` opens "Mon DD HH:MM " or
// "Mon DD  YYYY "; 0 when it does not. Days come as "09", " 9" or "9"; a
// year is padded to the width of a time by a second blank, which some
// servers leave out.
size_t after_date(const char* line, size_t len, size_t m) {
  size_t i = m + 3;
  if (i >= len || line[i] != ' ') return 0;
  ++i;
  if (i < len && line[i] == ' ') ++i;
  const size_t day = digits_at(line, len, i);
  if (day < 1 || day > 2) return 0;
  i += day;
  if (i >= len || line[i] != ' ') return 0;
  ++i;
  const size_t hour = digits_at(line, len, i);
  if (hour >= 1 && hour <= 2 && i + hour < len && line[i + hour] == ':') {
    i += hour + 1;
    if (digits_at(line, len, i) != 2) return 0;
    i += 2;
  } else {
    if (hour == 0 && i < len && line[i] == ' ') ++i;
    if (digits_at(line, len, i) != 4) return 0;
    i += 4;
  }
  // Exactly one blank ends the date: any more belong to the name.
  if (i >= len || line[i] != ' ') return 0;
  return i + 1;
}

// The name when a date opens at `m`, or none.
bool name_after_month(const char* line, size_t len, size_t m, std::string_view& name) {
  if (m + 3 > len || !is_month(line + m)) return false;
  const size_t at = after_date(line, len, m);
  if (at == 0) return false;
  size_t n = len - at;
  // A link is one name with its file namesake on another site, whatever it points to.
  if (line[0] == 'l')
    for (size_t k = at + 1; k + 4 <= len; ++k)
      if (std::memcmp(line + k, " -> ", 4) == 0) {
        n = k - at;
        break;
      }
  name = cut(line + at, n);
  return true;
}

// Servers place the name wherever their owner and size widths end, so it is
// found after the date. The first date that follows a digit (the size) wins:
// a name that reads like a date comes later on the line, and an owner or group
// named like a month is not preceded by a size.
std::string_view long_name(const char* line, size_t len) {
  std::string_view name;
  size_t m = 2;
#ifdef __SSE2__
  // Sixteen places at a time: a month can open only after a digit and a blank.
  const __m128i blank = _mm_set1_epi8(' '), below = _mm_set1_epi8('0' - 1), above = _mm_set1_epi8('9' + 1);
  for (; m + 15 <= len; m += 16) {
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + m - 2));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + m - 1));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(d, below), _mm_cmplt_epi8(d, above));
    unsigned places = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(digit, _mm_cmpeq_epi8(b, blank))));
    for (; places != 0; places &= places - 1)
      if (name_after_month(line, len, m + static_cast<size_t>(__builtin_ctz(places)), name)) return name;
  }
#endif
  for (; m + 3 <= len; ++m)
    if (line[m - 1] == ' ' && is_digit(line[m - 2]) && name_after_month(line, len, m, name)) return name;
  if (len <= kNameColumn) return {};
  return cut(line + kNameColumn, len - kNameColumn);
}

}  // namespace

std::string_view listing_name(const char* line, size_t len, int kind) {
  if (len > 0 && line[len - 1] == '\n') --len;
  if (len > 0 && line[len - 1] == '\r') --len;
  if (kind == kListingNames) return cut(line, len);
  if (kind == kListingFacts) {
    for (size_t i = 0; i + 1 < len; ++i)
      if (line[i] == ';' && line[i + 1] == ' ') return cut(line + i + 2, len - i - 2);
    return {};
  }
  return long_name(line, len);
}

bool ListingFilter::keep(const char* line, size_t len) {
  const int kind = kind_ ? kind_->load(std::memory_order_acquire) : kListingLong;
  if (first_line_) {
    first_line_ = false;
    // Only a long listing leads with a count; in a name listing "total..."
    // is a file like any other.
    if (kind == kListingLong && len >= 5 && std::memcmp(line, "total", 5) == 0) return false;
  }
  std::string_view name = listing_name(line, len, kind);
  return name.empty() || seen_.first_sighting_held(name);
}

}  // namespace ferrynet
