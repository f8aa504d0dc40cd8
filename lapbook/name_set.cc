#include "lapbook/name_set.h"

#include <cstdlib>
#include <cstring>

namespace lapbook {

namespace {

uint64_t fnv1a(const char* p, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

constexpr size_t kFirstCapacity = 64;

}  // namespace

NameSet::~NameSet() { std::free(slots_); }

bool NameSet::grow() {
  size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
  if (capacity < capacity_ || capacity > SIZE_MAX / sizeof(Slot)) return false;
  auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
  if (slots == nullptr) return false;
  for (size_t i = 0; i < capacity_; ++i) {
    if (slots_[i].stored == 0) continue;
    size_t j = slots_[i].hash & (capacity - 1);
    while (slots[j].stored != 0) j = (j + 1) & (capacity - 1);
    slots[j] = slots_[i];
  }
  std::free(slots_);
  slots_ = slots;
  capacity_ = capacity;
  return true;
}

NameSet::Insert NameSet::insert(const char* name, size_t length) {
  // Kept at most half full, so probing always meets a free slot soon.
  if ((count_ + 1) * 2 > capacity_ && !grow()) return Insert::kNoMemory;
  uint64_t hash = fnv1a(name, length);
  size_t j = hash & (capacity_ - 1);
  for (; slots_[j].stored != 0; j = (j + 1) & (capacity_ - 1)) {
    const Slot& s = slots_[j];
    if (s.hash == hash && s.stored == length + 1 &&
        (length == 0 || std::memcmp(names_.data() + s.offset, name, length) == 0))
      return Insert::kPresent;
  }
  size_t offset = names_.size();
  if (!names_.append(name, length)) return Insert::kNoMemory;
  slots_[j] = Slot{offset, length + 1, hash};
  ++count_;
  return Insert::kAdded;
}

}  // namespace lapbook
