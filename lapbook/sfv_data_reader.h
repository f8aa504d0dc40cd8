// Walks an SFV data file: its header, then one entry at a time.
#ifndef LAPBOOK_SFV_DATA_READER_H
#define LAPBOOK_SFV_DATA_READER_H

#include <cstdint>

#include "lapbook/byte_buffer.h"
#include "lapbook/read_result.h"

namespace lapbook {

struct SfvEntry {
  const char* name = nullptr;  // zero-terminated; valid until the next read
  uint32_t name_length = 0;
  uint32_t crc32 = 0;
};

class SfvDataReader {
 public:
  // fd stays the caller's and must be at the start of the file.
  explicit SfvDataReader(int fd) : fd_(fd) {}
  SfvDataReader(const SfvDataReader&) = delete;
  SfvDataReader& operator=(const SfvDataReader&) = delete;

  // False when the file is shorter than its header.
  bool read_header(uint16_t* release_type);
  ReadResult next(SfvEntry* out);

 private:
  int fd_;
  ByteBuffer name_;
};

}  // namespace lapbook

#endif
