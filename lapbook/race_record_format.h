// The race data file, shared by lapbook and lapdump. No header, no trailer:
// records are appended one after another, each
//
//   name_length    u32   length of file_name, its terminating zero included
//   file_name      name_length bytes, ending in a zero byte
//   status         u8
//   crc32          u32   0 never counts as a match
//   user_name      24 bytes, copied whole
//   group_name     24 bytes, copied whole
//   file_size      u32
//   transfer_time  u32
//   info1          u32   the caller's, handed back unchanged
//   info2          u32
//
// Integers are little-endian. Tail offsets are relative to the status byte,
// the first byte after the name.
#ifndef LAPBOOK_RACE_RECORD_FORMAT_H
#define LAPBOOK_RACE_RECORD_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lapbook/binary_io.h"

namespace lapbook::race_record {

inline constexpr size_t kNameLengthSize = 4;
inline constexpr size_t kNameOffset = kNameLengthSize;
inline constexpr size_t kNameFieldSize = 24;  // user_name and group_name

inline constexpr size_t kStatusOffset = 0;
inline constexpr size_t kCrcOffset = 1;
inline constexpr size_t kUserNameOffset = 5;
inline constexpr size_t kGroupNameOffset = kUserNameOffset + kNameFieldSize;
inline constexpr size_t kFileSizeOffset = kGroupNameOffset + kNameFieldSize;
inline constexpr size_t kTransferTimeOffset = kFileSizeOffset + 4;
inline constexpr size_t kInfo1Offset = kTransferTimeOffset + 4;
inline constexpr size_t kInfo2Offset = kInfo1Offset + 4;
inline constexpr size_t kTailSize = kInfo2Offset + 4;
static_assert(kTailSize == 69, "the part after the name is 69 bytes");

// Size of a whole record whose name field is name_length bytes.
constexpr size_t record_size(size_t name_length) { return kNameLengthSize + name_length + kTailSize; }

enum Status : uint8_t {
  kDeleted = 0,
  kOk = 1,
  kNotChecked = 2,
  kCallerWritten = 253,
  kBad = 255,
};

// Records of these statuses are live: clear_file_file may supersede them.
constexpr bool is_live(uint8_t status) {
  return status == kOk || status == kNotChecked || status == kCallerWritten;
}

// The decoded tail; only ever filled by decode_tail or by hand, never
// written to disk as it stands.
struct Tail {
  uint8_t status = 0;
  uint32_t crc32 = 0;
  char user_name[kNameFieldSize] = {};
  char group_name[kNameFieldSize] = {};
  uint32_t file_size = 0;
  uint32_t transfer_time = 0;
  uint32_t info1 = 0;
  uint32_t info2 = 0;
};

inline void encode_tail(const Tail& t, uint8_t* out) {
  out[kStatusOffset] = t.status;
  put_u32le(out + kCrcOffset, t.crc32);
  std::memcpy(out + kUserNameOffset, t.user_name, kNameFieldSize);
  std::memcpy(out + kGroupNameOffset, t.group_name, kNameFieldSize);
  put_u32le(out + kFileSizeOffset, t.file_size);
  put_u32le(out + kTransferTimeOffset, t.transfer_time);
  put_u32le(out + kInfo1Offset, t.info1);
  put_u32le(out + kInfo2Offset, t.info2);
}

inline Tail decode_tail(const uint8_t* in) {
  Tail t;
  t.status = in[kStatusOffset];
  t.crc32 = get_u32le(in + kCrcOffset);
  std::memcpy(t.user_name, in + kUserNameOffset, kNameFieldSize);
  std::memcpy(t.group_name, in + kGroupNameOffset, kNameFieldSize);
  t.file_size = get_u32le(in + kFileSizeOffset);
  t.transfer_time = get_u32le(in + kTransferTimeOffset);
  t.info1 = get_u32le(in + kInfo1Offset);
  t.info2 = get_u32le(in + kInfo2Offset);
  return t;
}

// Encodes a whole record into out, which holds record_size(name_length)
// bytes. name holds name_length - 1 characters; the zero byte is added.
inline void encode_record(const char* name, uint32_t name_length, const Tail& t, uint8_t* out) {
  put_u32le(out, name_length);
  if (name_length > 0) {
    std::memcpy(out + kNameOffset, name, name_length - 1);
    out[kNameOffset + name_length - 1] = 0;
  }
  encode_tail(t, out + kNameOffset + name_length);
}

}  // namespace lapbook::race_record

#endif
