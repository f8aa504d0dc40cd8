#include "ferrynet/data/listing_filter.h"

namespace ferrynet {

namespace {

std::string_view cut(const char* name, size_t n) { return std::string_view(name, n > kNameMax ? kNameMax : n); }

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
  if (len <= kNameColumn) return {};
  return cut(line + kNameColumn, len - kNameColumn);
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
