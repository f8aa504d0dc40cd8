// Memory for merged listings, kept from one bounce to the next. Every root
// listing needs a few megabytes at most (the seen names, each leg's read and
// batch); in fresh memory each page costs a fault on first touch, which on
// some machines costs more than the merge's own work, so blocks a bounce
// gives back serve the next one.
#pragma once

#include <cstddef>
#include <utility>

namespace ferrynet {

class MergeBlock {
 public:
  MergeBlock() = default;
  // At least `bytes` (rounded up to a power of two, at least kMin), taken
  // from the kept blocks when one fits. valid() is false when no memory could be had.
  explicit MergeBlock(size_t bytes);
  ~MergeBlock() { release(); }
  MergeBlock(MergeBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MergeBlock& operator=(MergeBlock&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  MergeBlock(const MergeBlock&) = delete;
  MergeBlock& operator=(const MergeBlock&) = delete;

  bool valid() const { return data_ != nullptr; }
  char* data() const { return data_; }
  size_t size() const { return size_; }

  static constexpr size_t kMin = 4096;
  // Bytes of given-back blocks kept now, at most kMergeKeptMax (for tests).
  static size_t kept();

 private:
  void release();
  char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace ferrynet
