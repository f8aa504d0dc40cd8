#include "ferrynet/data/listing_filter.h"

namespace ferrynet {

std::string_view listing_name(const char* line, size_t len) {
  if (len > 0 && line[len - 1] == '\n') --len;
  if (len > 0 && line[len - 1] == '\r') --len;
  if (len <= kNameColumn) return {};
  size_t n = len - kNameColumn;
  if (n > kNameMax) n = kNameMax;
  return std::string_view(line + kNameColumn, n);
}

bool ListingFilter::keep(const char* line, size_t len) {
  if (first_line_) {
    first_line_ = false;
    if (len >= 5 && std::memcmp(line, "total", 5) == 0) return false;
  }
  std::string_view name = listing_name(line, len);
  return name.empty() || seen_.first_sighting(name);
}

}  // namespace ferrynet
