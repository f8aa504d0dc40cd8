#include "lapbook/sfv_data_reader.h"

#include "lapbook/binary_io.h"
#include "lapbook/name_field.h"
#include "lapbook/sfv_data_format.h"

namespace lapbook {

bool SfvDataReader::read_header(uint16_t* release_type) {
  uint8_t header[sfv_data::kHeaderSize];
  if (!read_exact(fd_, header, sizeof header)) return false;
  *release_type = get_u16le(header);
  return true;
}

ReadResult SfvDataReader::next(SfvEntry* out) {
  uint8_t length_bytes[sfv_data::kNameLengthSize];
  if (!read_exact(fd_, length_bytes, sizeof length_bytes)) return ReadResult::kEnd;
  uint32_t name_length = get_u32le(length_bytes);
  if (!read_name_field(fd_, name_length, &name_)) return ReadResult::kDamaged;
  uint8_t crc[sfv_data::kCrcSize];
  if (!read_exact(fd_, crc, sizeof crc)) return ReadResult::kDamaged;

  out->name = reinterpret_cast<const char*>(name_.data());
  out->name_length = name_length;
  out->crc32 = get_u32le(crc);
  return ReadResult::kRecord;
}

}  // namespace lapbook
