// A growable malloc'd byte buffer. lapbook links into C programs, so it uses
// no C++ runtime: allocation failure is a false result, never an exception.
#ifndef LAPBOOK_BYTE_BUFFER_H
#define LAPBOOK_BYTE_BUFFER_H

#include <cstddef>
#include <cstdint>

namespace lapbook {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  void clear() { size_ = 0; }

  bool reserve(size_t capacity);
  bool append(const void* bytes, size_t n);
  bool append_byte(uint8_t b) { return append(&b, 1); }
  // Adds n bytes at the end and returns where they start, for encoding in
  // place; nullptr when memory runs out. The pointer lasts until the next
  // growth.
  uint8_t* extend(size_t n);

  // Appends up to n bytes read from fd, growing only as data arrives, so a
  // length field from a damaged file cannot make it allocate more than the
  // file holds. True when all n bytes arrived.
  bool append_from_fd(int fd, size_t n);

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace lapbook

#endif
