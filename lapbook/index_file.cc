// create_indexfile_file: the good files of a release, sorted ignoring case.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lapbook/ascii.h"
#include "lapbook/binary_io.h"
#include "lapbook/byte_buffer.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"
#include "lapbook/race_record_format.h"
#include "lapbook/race_record_reader.h"
#include "lapbook/unique_fd.h"

namespace {

struct IndexEntry {
  const char* name;
  size_t order;  // place in the race data file, to keep equal names stable
};

int compare_entries(const void* a, const void* b) {
  const auto* x = static_cast<const IndexEntry*>(a);
  const auto* y = static_cast<const IndexEntry*>(b);
  int c = lapbook::compare_ignoring_case(x->name, y->name);
  if (c != 0) return c;
  return x->order < y->order ? -1 : (x->order > y->order ? 1 : 0);
}

// Collects the names of the OK records, back to back with their zero bytes,
// and their offsets. False when memory runs out.
bool collect_ok_names(const char* race_data_path, lapbook::ByteBuffer* names, lapbook::ByteBuffer* offsets) {
  lapbook::UniqueFd fd = lapbook::open_file(race_data_path, O_RDONLY);
  if (!fd.valid()) return true;
  lapbook::RaceRecordReader reader(fd.get());
  lapbook::RaceRecord record;
  while (reader.next(&record) == lapbook::ReadResult::kRecord) {
    if (record.tail.status != lapbook::race_record::kOk) continue;
    size_t offset = names->size();
    if (!names->append(record.name, std::strlen(record.name) + 1) || !offsets->append(&offset, sizeof offset))
      return false;
  }
  return true;
}

}  // namespace

// The index holds every OK name however many there are; the SFV's count
// only ever sized a table that could overflow.
extern "C" void create_indexfile_file(RaceLocations* locations, RaceState*, const char* index_path) {
  lapbook::ByteBuffer names;
  lapbook::ByteBuffer offsets;
  if (!collect_ok_names(locations->race_data_path, &names, &offsets)) return;

  size_t count = offsets.size() / sizeof(size_t);
  lapbook::ByteBuffer sorted;
  if (count > SIZE_MAX / sizeof(IndexEntry)) return;
  auto* entries = reinterpret_cast<IndexEntry*>(sorted.extend(count * sizeof(IndexEntry)));
  if (count > 0 && entries == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    size_t offset;
    std::memcpy(&offset, offsets.data() + i * sizeof offset, sizeof offset);
    entries[i] = IndexEntry{reinterpret_cast<const char*>(names.data()) + offset, i};
  }
  if (count > 1) std::qsort(entries, count, sizeof(IndexEntry), compare_entries);

  lapbook::ByteBuffer text;
  for (size_t i = 0; i < count; ++i) {
    if (!text.append(entries[i].name, std::strlen(entries[i].name)) || !text.append_byte('\n')) return;
  }
  lapbook::UniqueFd out =
      lapbook::open_file(index_path, O_WRONLY | O_CREAT | O_TRUNC, lapbook::kDataFileMode);
  if (!out.valid()) return;
  lapbook::write_all(out.get(), text.data(), text.size());
}
