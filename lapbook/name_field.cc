#include "lapbook/name_field.h"

namespace lapbook {

bool read_name_field(int fd, uint32_t name_length, ByteBuffer* out) {
  out->clear();
  if (name_length == 0) return false;
  if (!out->append_from_fd(fd, name_length)) return false;
  return out->data()[name_length - 1] == 0;
}

}  // namespace lapbook
