// One line of an uploaded SFV file: a name, a blank and an eight-character CRC.
#ifndef LAPBOOK_SFV_LINE_H
#define LAPBOOK_SFV_LINE_H

#include <cstddef>

namespace lapbook {

struct SfvLine {
  size_t name_length = 0;       // the name is line[0, name_length)
  size_t extension_offset = 0;  // after the name's last ".", or 0 when it has none
  size_t crc_offset = 0;        // the CRC text is line[crc_offset, +kSfvCrcChars)
};

// Splits one line (without its "\n", already lower case). False for a
// comment or empty line, and for a line whose last hexadecimal digit does
// not end a run of exactly eight characters after a blank that is not the
// first character. Trailing characters that are not hexadecimal digits
// ("\r", blanks, anything else) are ignored. A zero byte in the name or the
// CRC also rejects the line: no file name holds one, and every routine past
// this point takes the name as zero-terminated text.
bool parse_sfv_line(const char* line, size_t length, SfvLine* out);

}  // namespace lapbook

#endif
