// The names an SFV has already given, to drop repeated lines. Hashed, so an
// SFV of a million lines costs no more than reading it.
#ifndef LAPBOOK_NAME_SET_H
#define LAPBOOK_NAME_SET_H

#include <cstddef>
#include <cstdint>

#include "lapbook/byte_buffer.h"

namespace lapbook {

class NameSet {
 public:
  enum class Insert { kAdded, kPresent, kNoMemory };

  NameSet() = default;
  NameSet(const NameSet&) = delete;
  NameSet& operator=(const NameSet&) = delete;
  ~NameSet();

  // Byte-for-byte comparison; the set keeps its own copy of the name.
  Insert insert(const char* name, size_t length);
  size_t size() const { return count_; }

 private:
  struct Slot {
    size_t offset;  // into names_; used slots have length + 1 in stored
    size_t stored;  // 0: free
    uint64_t hash;
  };
  bool grow();

  ByteBuffer names_;
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t count_ = 0;
};

}  // namespace lapbook

#endif
