#include "ferrynet/data/seen_names.h"

namespace ferrynet {

bool SeenNames::first_sighting(std::string_view name) {
  std::lock_guard<std::mutex> hold(lock_);
  if (names_.find(name) != names_.end()) return false;
  names_.emplace(name);
  return true;
}

size_t SeenNames::size() {
  std::lock_guard<std::mutex> hold(lock_);
  return names_.size();
}

}  // namespace ferrynet
