// Walks a race data file front to back, one record at a time.
#ifndef LAPBOOK_RACE_RECORD_READER_H
#define LAPBOOK_RACE_RECORD_READER_H

#include <cstdint>

#include "lapbook/byte_buffer.h"
#include "lapbook/race_record_format.h"
#include "lapbook/read_result.h"

namespace lapbook {

struct RaceRecord {
  const char* name = nullptr;  // zero-terminated; valid until the next read
  uint32_t name_length = 0;
  race_record::Tail tail;
  uint64_t status_offset = 0;  // where in the file the status byte stands
};

class RaceRecordReader {
 public:
  // fd stays the caller's and must be at the start of the file; nothing
  // else may move its offset while the reader walks.
  explicit RaceRecordReader(int fd) : fd_(fd) {}
  RaceRecordReader(const RaceRecordReader&) = delete;
  RaceRecordReader& operator=(const RaceRecordReader&) = delete;

  ReadResult next(RaceRecord* out);

 private:
  int fd_;
  ByteBuffer name_;
  uint64_t offset_ = 0;
};

}  // namespace lapbook

#endif
