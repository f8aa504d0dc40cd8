// lapdump: lists the records of one race data file on standard output.
// Every path ends with status 0, the damaged and unopenable file included:
// scripts that run it over many releases go on with the next.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "lapdump/race_listing.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("Usage: %s <racedata file>\n", argc > 0 ? argv[0] : "lapdump");
    return 0;
  }
  int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::printf("File does not exist or could not be opened\n");
    return 0;
  }
  if (lapdump::list_race_data(fd, stdout) == lapdump::ListingEnd::kCorrupted) return 0;
  return ::close(fd) == 0 ? 0 : 1;
}
