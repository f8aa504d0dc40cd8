// The names a merged listing has already passed on, shared by every leg of one bounce.
#pragma once

#include <mutex>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace ferrynet {

class SeenNames {
 public:
  // True for the first caller with this name (exact, case-sensitive); the
  // name is then remembered for the rest of the bounce.
  bool first_sighting(std::string_view name);
  size_t size();

 private:
  // Looks names up without making a string of each one first.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::mutex lock_;  // guards names_; never held while writing to a connection
  std::unordered_set<std::string, NameHash, std::equal_to<>> names_;
};

}  // namespace ferrynet
