// The leader file: the last 24-byte leader value, handed back on the next call.
#include <fcntl.h>

#include "lapbook/binary_io.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"
#include "lapbook/unique_fd.h"

static_assert(lapbook::kLeaderSize == LAPBOOK_NAME_FIELD_SIZE, "the leader is one name field");

extern "C" void read_write_leader_file(RaceLocations* locations, RaceState* state, const char* new_leader) {
  lapbook::UniqueFd fd = lapbook::open_file(locations->leader_path, O_RDWR);
  if (fd.valid()) {
    // Bytes the file does not hold keep what the caller had.
    lapbook::read_up_to(fd.get(), state->leader, lapbook::kLeaderSize);
  } else {
    state->leader[0] = 0;
    fd = lapbook::open_file(locations->leader_path, O_WRONLY | O_CREAT | O_TRUNC, lapbook::kDataFileMode);
    if (!fd.valid()) return;
  }
  if (new_leader == nullptr) return;
  lapbook::pwrite_all(fd.get(), new_leader, lapbook::kLeaderSize, 0);
}
