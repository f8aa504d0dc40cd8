// The SFV data file
//
//   release_type  u16   0 while copysfv_file is still writing
//   entries up to the end of the file:
//     name_length u32   length of file_name, its terminating zero included
//     file_name   name_length bytes, lower case, ending in a zero byte
//     crc32       u32   never 0
//
// Integers are little-endian.
#ifndef LAPBOOK_SFV_DATA_FORMAT_H
#define LAPBOOK_SFV_DATA_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lapbook/binary_io.h"

namespace lapbook::sfv_data {

inline constexpr size_t kHeaderSize = 2;
inline constexpr size_t kNameLengthSize = 4;
inline constexpr size_t kCrcSize = 4;

constexpr size_t entry_size(size_t name_length) { return kNameLengthSize + name_length + kCrcSize; }

// Encodes one entry into out, which holds entry_size(name_length) bytes.
// name holds name_length - 1 characters; the zero byte is added.
inline void encode_entry(const char* name, uint32_t name_length, uint32_t crc32, uint8_t* out) {
  put_u32le(out, name_length);
  if (name_length > 0) {
    std::memcpy(out + kNameLengthSize, name, name_length - 1);
    out[kNameLengthSize + name_length - 1] = 0;
  }
  put_u32le(out + kNameLengthSize + name_length, crc32);
}

}  // namespace lapbook::sfv_data

#endif
