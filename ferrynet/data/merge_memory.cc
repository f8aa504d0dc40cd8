#include "ferrynet/data/merge_memory.h"

#include <new>
#include <vector>

#include "ferrynet/core/mutex.h"
#include "ferrynet/data/data_limits.h"

namespace ferrynet {

namespace {

constexpr int kClasses = 40;  // sizes 2^0 .. 2^39; only kMin and up are used

int size_class(size_t bytes) {
  int c = 0;
  while ((size_t{1} << c) < bytes) ++c;
  return c;
}

struct Kept {
  Mutex lock;
  std::vector<char*> blocks[kClasses] GUARDED_BY(lock);
  size_t bytes GUARDED_BY(lock) = 0;
};

// Never destroyed: a bounce thread may give a block back while the process ends.
Kept& kept_blocks() {
  static Kept* kept = new Kept;
  return *kept;
}

}  // namespace

MergeBlock::MergeBlock(size_t bytes) {
  if (bytes < kMin) bytes = kMin;
  const int c = size_class(bytes);
  if (c >= kClasses) return;
  const size_t size = size_t{1} << c;
  {
    Kept& k = kept_blocks();
    MutexLock hold(k.lock);
    if (!k.blocks[c].empty()) {
      data_ = k.blocks[c].back();
      k.blocks[c].pop_back();
      k.bytes -= size;
      size_ = size;
      return;
    }
  }
  data_ = new (std::nothrow) char[size];
  size_ = data_ ? size : 0;
}

void MergeBlock::release() {
  if (data_ == nullptr) return;
  const int c = size_class(size_);
  {
    Kept& k = kept_blocks();
    MutexLock hold(k.lock);
    if (k.bytes + size_ <= kMergeKeptMax) {
      try {
        k.blocks[c].push_back(data_);
        k.bytes += size_;
        data_ = nullptr;
      } catch (const std::bad_alloc&) {
      }
    }
  }
  delete[] data_;
  data_ = nullptr;
  size_ = 0;
}

size_t MergeBlock::kept() {
  Kept& k = kept_blocks();
  MutexLock hold(k.lock);
  return k.bytes;
}

}  // namespace ferrynet
