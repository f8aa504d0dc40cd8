// Reading the SFV data file back and checking uploads against it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "lapbook/ascii.h"
#include "lapbook/binary_io.h"
#include "lapbook/deletable_name.h"
#include "lapbook/lapbook.h"
#include "lapbook/race_record_format.h"
#include "lapbook/race_record_reader.h"
#include "lapbook/sfv_data_reader.h"
#include "lapbook/unique_fd.h"

namespace race_record = lapbook::race_record;
using lapbook::ReadResult;

extern "C" uint32_t readsfv_file(RaceLocations* locations, RaceState* state, int count_absent) {
  lapbook::UniqueFd fd = lapbook::open_file(locations->sfv_data_path, O_RDONLY);
  if (!fd.valid()) return 0;
  lapbook::SfvDataReader reader(fd.get());
  uint32_t crc = 0;
  if (reader.read_header(&state->release_type)) {
    lapbook::SfvEntry entry;
    while (reader.next(&entry) == ReadResult::kRecord) {
      state->sfv_file_count = static_cast<uint8_t>(state->sfv_file_count + 1);
      if (state->file_name != nullptr && lapbook::compare_ignoring_case(entry.name, state->file_name) == 0)
        crc = entry.crc32;
      if (count_absent != 0 && findfile(entry.name) != 0)
        state->missing_count = static_cast<int16_t>(state->missing_count - 1);
    }
  }
  fd.reset();
  state->missing_count = static_cast<int16_t>(state->missing_count + state->sfv_file_count);
  return crc;
}

extern "C" void testfiles_file(RaceLocations* locations, RaceState* state) {
  lapbook::UniqueFd fd = lapbook::open_file(locations->race_data_path, O_RDWR);
  if (!fd.valid()) return;
  const char* kept_name = state->file_name;
  lapbook::RaceRecordReader reader(fd.get());
  lapbook::RaceRecord record;
  while (reader.next(&record) == ReadResult::kRecord) {
    if (record.tail.status != race_record::kNotChecked) continue;
    state->file_name = record.name;
    uint32_t listed = readsfv_file(locations, state, 0);
    uint8_t status;
    if (record.tail.crc32 != 0 && record.tail.crc32 == listed) {
      status = race_record::kOk;
    } else {
      if (lapbook::is_deletable_name(record.name)) ::unlink(record.name);
      size_t length = std::strlen(record.name);
      if (listed != 0 && length <= INT16_MAX) create_missing(record.name, static_cast<int16_t>(length));
      status = race_record::kBad;
    }
    // Only the changed byte is written, so a status that another call set
    // meanwhile on some other record is not put back.
    lapbook::pwrite_all(fd.get(), &status, 1, record.status_offset);
  }
  state->file_name = kept_name;
  state->missing_count = 0;
  state->sfv_file_count = 0;
}
