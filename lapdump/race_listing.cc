#include "lapdump/race_listing.h"

#include <cstdio>

#include "lapbook/race_record_format.h"
#include "lapbook/race_record_reader.h"

namespace lapdump {

namespace rr = lapbook::race_record;

const char* status_text(uint8_t status, char* room) {
  switch (status) {
    case rr::kDeleted:
      return "Deleted";
    case rr::kOk:
      return "OK";
    case rr::kNotChecked:
      return "Not checked";
    case rr::kBad:
      return "BAD";
    default:
      std::snprintf(room, kStatusTextSize, "Unknown (%u)", static_cast<unsigned>(status));
      return room;
  }
}

ListingEnd list_race_data(int fd, std::FILE* out) {
  std::fputs("|-[Racedata lister for tallyrace]\n", out);
  std::fputs("|\n", out);
  lapbook::RaceRecordReader reader(fd);
  lapbook::RaceRecord record;
  unsigned long number = 0;
  for (;;) {
    lapbook::ReadResult r = reader.next(&record);
    if (r == lapbook::ReadResult::kEnd) break;
    if (r == lapbook::ReadResult::kDamaged) {
      std::fputs("|-[CORRUPTED]\n", out);
      return ListingEnd::kCorrupted;
    }
    ++number;
    const rr::Tail& t = record.tail;
    char room[kStatusTextSize];
    std::fprintf(out, "|-[File #%lu]\n", number);
    std::fprintf(out, "| Filename: %s - Status: %s - CRC-32: %08X - Filesize: %u\n", record.name,
                 status_text(t.status, room), static_cast<unsigned>(t.crc32), static_cast<unsigned>(t.file_size));
    // The name fields are copied whole and need not hold a zero byte.
    double speed = static_cast<double>(t.file_size) * 1024.0 / static_cast<double>(t.transfer_time);
    std::fprintf(out, "| User    : %.*s - Group: %.*s - Speed: %0.1fKb/s\n", static_cast<int>(rr::kNameFieldSize),
                 t.user_name, static_cast<int>(rr::kNameFieldSize), t.group_name, speed);
  }
  std::fputs("|-[EOF]\n", out);
  return ListingEnd::kEof;
}

}  // namespace lapdump
