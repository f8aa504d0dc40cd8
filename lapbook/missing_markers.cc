// delete_sfv_file: removes the missing-file markers of every SFV entry.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "lapbook/byte_buffer.h"
#include "lapbook/deletable_name.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"
#include "lapbook/sfv_data_reader.h"
#include "lapbook/unique_fd.h"

extern "C" void delete_sfv_file(RaceLocations* locations) {
  lapbook::UniqueFd fd = lapbook::open_file(locations->sfv_data_path, O_RDONLY);
  if (!fd.valid()) return;
  lapbook::SfvDataReader reader(fd.get());
  uint16_t release_type = 0;
  if (!reader.read_header(&release_type)) return;
  lapbook::SfvEntry entry;
  lapbook::ByteBuffer marker;
  while (reader.next(&entry) == lapbook::ReadResult::kRecord) {
    // The names come from an uploaded SFV.
    if (!lapbook::is_deletable_name(entry.name)) continue;
    marker.clear();
    if (!marker.append(entry.name, std::strlen(entry.name)) ||
        !marker.append(lapbook::kMissingSuffix, sizeof lapbook::kMissingSuffix))
      return;
    // An absent marker is the normal case for a file that arrived.
    ::unlink(reinterpret_cast<const char*>(marker.data()));
  }
}
