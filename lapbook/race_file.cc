// The routines that append to, read and clear records of the race data file.
#include <fcntl.h>

#include <cstdint>
#include <cstring>

#include "lapbook/binary_io.h"
#include "lapbook/byte_buffer.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"
#include "lapbook/race_record_format.h"
#include "lapbook/race_record_reader.h"
#include "lapbook/unique_fd.h"

using lapbook::ByteBuffer;
using lapbook::RaceRecord;
using lapbook::RaceRecordReader;
using lapbook::ReadResult;
using lapbook::UniqueFd;
namespace race_record = lapbook::race_record;

extern "C" void readrace_file(RaceLocations* locations, RaceState* state, void* extra1, void* extra2) {
  UniqueFd fd = lapbook::open_file(locations->race_data_path, O_RDONLY);
  if (!fd.valid()) return;
  RaceRecordReader reader(fd.get());
  RaceRecord record;
  while (reader.next(&record) == ReadResult::kRecord) {
    const race_record::Tail& t = record.tail;
    switch (t.status) {
      case race_record::kOk:
      case race_record::kNotChecked:
        updatestats(state, extra1, extra2, t.user_name, t.group_name, t.file_size, t.transfer_time, t.info1,
                    t.info2);
        break;
      case race_record::kCallerWritten:
        state->status253_seen = 1;
        break;
      case race_record::kBad:
        state->bad_count = static_cast<uint8_t>(state->bad_count + 1);
        state->bad_size_total += t.file_size;
        break;
      default:
        break;
    }
  }
}

extern "C" int clear_file_file(RaceLocations* locations, const char* name) {
  if (name == nullptr) return 0;
  UniqueFd fd = lapbook::open_file(locations->race_data_path, O_RDWR);
  if (!fd.valid()) return 0;
  RaceRecordReader reader(fd.get());
  RaceRecord record;
  int changed = 0;
  while (reader.next(&record) == ReadResult::kRecord) {
    if (!race_record::is_live(record.tail.status) || std::strcmp(record.name, name) != 0) continue;
    // pwrite leaves the reader's offset where it is.
    const uint8_t deleted = race_record::kDeleted;
    if (lapbook::pwrite_all(fd.get(), &deleted, 1, record.status_offset)) changed = 1;
  }
  return changed;
}

extern "C" void writerace_file(RaceLocations* locations, RaceState* state, uint32_t crc, uint8_t status) {
  if (state->file_name == nullptr) return;
  size_t text_length = std::strlen(state->file_name);
  if (text_length >= UINT32_MAX) return;
  clear_file_file(locations, state->file_name);

  UniqueFd fd = lapbook::open_file(locations->race_data_path, O_WRONLY | O_APPEND | O_CREAT, lapbook::kDataFileMode);
  if (!fd.valid()) return;
  race_record::Tail tail;
  tail.status = status;
  tail.crc32 = crc;
  if (state->user_name != nullptr) std::memcpy(tail.user_name, state->user_name, sizeof tail.user_name);
  std::memcpy(tail.group_name, state->group_name, sizeof tail.group_name);
  tail.file_size = state->file_size;
  tail.transfer_time = state->transfer_time;
  tail.info1 = state->info1;
  tail.info2 = state->info2;

  auto name_length = static_cast<uint32_t>(text_length + 1);
  ByteBuffer record;
  uint8_t* out = record.extend(race_record::record_size(name_length));
  if (out == nullptr) return;
  race_record::encode_record(state->file_name, name_length, tail, out);
  // One write, so that a reader never meets half a record in the middle.
  lapbook::write_all(fd.get(), record.data(), record.size());
}
