#include "lapbook/byte_buffer.h"

#include <cstdlib>
#include <cstring>

#include "lapbook/binary_io.h"

namespace lapbook {

namespace {
// Growth step while reading a length-prefixed field of unknown honesty.
constexpr size_t kReadChunk = 64 * 1024;
}  // namespace

ByteBuffer::~ByteBuffer() { std::free(data_); }

bool ByteBuffer::reserve(size_t capacity) {
  if (capacity <= capacity_) return true;
  size_t grown = capacity_ < 64 ? 64 : capacity_;
  while (grown < capacity) grown = grown > SIZE_MAX / 2 ? capacity : grown * 2;
  void* p = std::realloc(data_, grown);
  if (p == nullptr) return false;
  data_ = static_cast<uint8_t*>(p);
  capacity_ = grown;
  return true;
}

uint8_t* ByteBuffer::extend(size_t n) {
  if (n > SIZE_MAX - size_ || !reserve(size_ + n)) return nullptr;
  uint8_t* start = data_ + size_;
  size_ += n;
  return start;
}

bool ByteBuffer::append(const void* bytes, size_t n) {
  if (n == 0) return true;
  uint8_t* p = extend(n);
  if (p == nullptr) return false;
  std::memcpy(p, bytes, n);
  return true;
}

bool ByteBuffer::append_from_fd(int fd, size_t n) {
  while (n > 0) {
    size_t step = n < kReadChunk ? n : kReadChunk;
    if (step > SIZE_MAX - size_ || !reserve(size_ + step)) return false;
    size_t got = read_up_to(fd, data_ + size_, step);
    size_ += got;
    if (got < step) return false;
    n -= step;
  }
  return true;
}

}  // namespace lapbook
