#include "lapbook/race_record_reader.h"

#include "lapbook/binary_io.h"
#include "lapbook/name_field.h"

namespace lapbook {

ReadResult RaceRecordReader::next(RaceRecord* out) {
  uint8_t length_bytes[race_record::kNameLengthSize];
  if (!read_exact(fd_, length_bytes, sizeof length_bytes)) return ReadResult::kEnd;
  uint32_t name_length = get_u32le(length_bytes);
  if (!read_name_field(fd_, name_length, &name_)) return ReadResult::kDamaged;
  uint8_t tail[race_record::kTailSize];
  if (!read_exact(fd_, tail, sizeof tail)) return ReadResult::kDamaged;

  out->name = reinterpret_cast<const char*>(name_.data());
  out->name_length = name_length;
  out->tail = race_record::decode_tail(tail);
  out->status_offset = offset_ + race_record::kNameLengthSize + name_length + race_record::kStatusOffset;
  offset_ += race_record::record_size(name_length);
  return ReadResult::kRecord;
}

}  // namespace lapbook
