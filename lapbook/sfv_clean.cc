// copysfv_file: cleans an uploaded SFV, stores its entries in the SFV data
// file and has the checker mark the files that are not there yet.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lapbook/ascii.h"
#include "lapbook/binary_io.h"
#include "lapbook/byte_buffer.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"
#include "lapbook/name_set.h"
#include "lapbook/release_type.h"
#include "lapbook/sfv_data_format.h"
#include "lapbook/sfv_line.h"
#include "lapbook/unique_fd.h"

namespace {

using lapbook::ByteBuffer;

bool extension_is_mp3(const char* extension) { return std::strcmp(extension, "mp3") == 0; }

void count_extension(const char* extension, lapbook::ExtensionCounts* counts) {
  if (extension_is_mp3(extension)) {
    ++counts->mp3;
  } else if (israr(extension) != 0) {
    ++counts->rar;
  } else if (isvideo(extension) != 0) {
    ++counts->video;
  } else {
    ++counts->other;
  }
}

// Runs the checks and the bookkeeping for one lower-cased line; on
// acceptance adds it to the cleaned text and the data entries. False only
// when memory ran out, which leaves the cleaned text incomplete.
bool take_line(char* line, size_t length, lapbook::NameSet* seen, lapbook::ExtensionCounts* counts,
               ByteBuffer* cleaned, ByteBuffer* entries) {
  lapbook::SfvLine parsed;
  if (!lapbook::parse_sfv_line(line, length, &parsed)) return true;
  // Cut the name at its blank so it and its extension are texts of their own.
  char* name = line;
  name[parsed.name_length] = 0;
  const char* extension = name + parsed.extension_offset;
  if (strcomp(lapbook::kIgnoredExtensions, extension) != 0) return true;

  char crc_text[lapbook::kSfvCrcChars + 1];
  std::memcpy(crc_text, line + parsed.crc_offset, lapbook::kSfvCrcChars);
  crc_text[lapbook::kSfvCrcChars] = 0;
  uint32_t crc = hexstrtodec(crc_text);
  if (crc == 0 || parsed.name_length >= UINT32_MAX) return true;
  switch (seen->insert(name, parsed.name_length)) {
    case lapbook::NameSet::Insert::kAdded:
      break;
    case lapbook::NameSet::Insert::kPresent:
      return true;
    case lapbook::NameSet::Insert::kNoMemory:
      return false;
  }

  if (!cleaned->append(name, parsed.name_length) || !cleaned->append_byte(' ') ||
      !cleaned->append(crc_text, lapbook::kSfvCrcChars) || !cleaned->append("\r\n", 2))
    return false;
  count_extension(extension, counts);
  // A length that does not fit the marker routine's count belongs to no
  // real file; such a name is only listed.
  if (findfile(name) == 0 && parsed.name_length <= INT16_MAX)
    create_missing(name, static_cast<int16_t>(parsed.name_length));

  auto name_length = static_cast<uint32_t>(parsed.name_length + 1);
  uint8_t* out = entries->extend(lapbook::sfv_data::entry_size(name_length));
  if (out == nullptr) return false;
  lapbook::sfv_data::encode_entry(name, name_length, crc, out);
  return true;
}

}  // namespace

extern "C" void copysfv_file(const char* sfv_path, const char* sfv_data_path, int64_t sfv_size) {
  // The upload is read before ".tmpsfv" is created, so an upload of that
  // very name is not emptied before it is read.
  lapbook::UniqueFd sfv = lapbook::open_file(sfv_path, O_RDONLY);
  if (!sfv.valid()) return;
  ByteBuffer text;
  if (sfv_size > 0) {
    // A file shorter than the size given is taken as far as it goes.
    uint64_t wanted = static_cast<uint64_t>(sfv_size);
    text.append_from_fd(sfv.get(), wanted > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(wanted));
  }
  sfv.reset();

  lapbook::UniqueFd temp =
      lapbook::open_file(lapbook::kTempSfvName, O_WRONLY | O_CREAT | O_TRUNC, lapbook::kTempSfvMode);
  if (!temp.valid()) return;
  ByteBuffer cleaned;
  bool cleaned_ok = cleaned.append(lapbook::kCleanedSfvHeader, sizeof lapbook::kCleanedSfvHeader - 1);

  lapbook::UniqueFd data =
      lapbook::open_file(sfv_data_path, O_WRONLY | O_CREAT | O_TRUNC, lapbook::kDataFileMode);
  uint8_t header[lapbook::sfv_data::kHeaderSize];
  lapbook::put_u16le(header, LAPBOOK_RELEASE_WRITING);
  if (data.valid()) lapbook::write_all(data.get(), header, sizeof header);

  lapbook::NameSet seen;
  lapbook::ExtensionCounts counts;
  ByteBuffer entries;
  char* chars = reinterpret_cast<char*>(text.data());
  size_t total = text.size();
  for (size_t i = 0; i < total; ++i) chars[i] = lapbook::ascii_lower(chars[i]);
  for (size_t start = 0; start < total;) {
    const void* newline = std::memchr(chars + start, '\n', total - start);
    size_t end = newline != nullptr ? static_cast<size_t>(static_cast<const char*>(newline) - chars) : total;
    if (!take_line(chars + start, end - start, &seen, &counts, &cleaned, &entries)) cleaned_ok = false;
    start = end + 1;
  }

  if (data.valid()) {
    lapbook::write_all(data.get(), entries.data(), entries.size());
    lapbook::put_u16le(header, lapbook::choose_release_type(counts));
    lapbook::pwrite_all(data.get(), header, sizeof header, 0);
    data.reset();
  }

  // Renamed straight over the upload: the rename replaces it at once, and
  // when the cleaned copy is incomplete or cannot take its place the
  // upload stays as it was.
  cleaned_ok = cleaned_ok && lapbook::write_all(temp.get(), cleaned.data(), cleaned.size());
  cleaned_ok = temp.close() == 0 && cleaned_ok;
  if (!cleaned_ok || std::rename(lapbook::kTempSfvName, sfv_path) != 0) ::unlink(lapbook::kTempSfvName);
}
