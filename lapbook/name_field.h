// The length-prefixed name that starts every record of the race data and
// SFV data files.
#ifndef LAPBOOK_NAME_FIELD_H
#define LAPBOOK_NAME_FIELD_H

#include <cstdint>

#include "lapbook/byte_buffer.h"

namespace lapbook {

// Reads the name_length bytes of a name field into out (replacing what it
// held). False when the file ends first or the field does not end in its
// zero byte: a length from a damaged file must not lead anyone past the name.
bool read_name_field(int fd, uint32_t name_length, ByteBuffer* out);

}  // namespace lapbook

#endif
