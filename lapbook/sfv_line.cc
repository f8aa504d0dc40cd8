#include "lapbook/sfv_line.h"

#include <cstring>

#include "lapbook/ascii.h"
#include "lapbook/limits.h"

namespace lapbook {

bool parse_sfv_line(const char* line, size_t length, SfvLine* out) {
  if (length == 0 || line[0] == ';') return false;
  size_t end = length;
  while (end > 0 && !is_hex_digit(line[end - 1])) --end;
  if (end == 0) return false;
  size_t blank = end - 1;
  while (blank > 0 && line[blank] != ' ') --blank;
  if (blank == 0 || end - blank - 1 != kSfvCrcChars) return false;
  if (std::memchr(line, 0, end) != nullptr) return false;

  out->name_length = blank;
  out->crc_offset = blank + 1;
  out->extension_offset = 0;
  for (size_t i = blank; i > 0; --i) {
    if (line[i - 1] == '.') {
      out->extension_offset = i;
      break;
    }
  }
  return true;
}

}  // namespace lapbook
