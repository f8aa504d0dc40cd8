// Field-by-field little-endian coding and whole-buffer file I/O, shared by
// every binary file lapbook writes and lapdump reads, so the bytes on disk
// never depend on the host's layout or byte order.
#ifndef LAPBOOK_BINARY_IO_H
#define LAPBOOK_BINARY_IO_H

#include <cstddef>
#include <cstdint>

namespace lapbook {

inline void put_u16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_u32le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t get_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t get_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads until n bytes have arrived, end of file or an error; returns the
// number read. Interrupted and partial reads are retried.
size_t read_up_to(int fd, void* buf, size_t n);

inline bool read_exact(int fd, void* buf, size_t n) { return read_up_to(fd, buf, n) == n; }

// False if not every byte could be written.
bool write_all(int fd, const void* buf, size_t n);
bool pwrite_all(int fd, const void* buf, size_t n, uint64_t offset);

}  // namespace lapbook

#endif
