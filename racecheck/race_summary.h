// What racecheck tells the operator about a release: who uploaded how much,
// what is bad and what is still missing.
#ifndef RACECHECK_RACE_SUMMARY_H
#define RACECHECK_RACE_SUMMARY_H

#include <cstdint>
#include <string>
#include <vector>

#include "lapbook/lapbook.h"

namespace racecheck {

struct UploaderStats {
  std::string user;   // up to its first zero byte
  std::string group;
  uint32_t files = 0;
  uint64_t bytes = 0;
  uint64_t transfer_time = 0;  // in 1/1048576 s, the unit racecheck records
};

// Filled by updatestats through readrace_file's first extra value.
struct RaceSummary {
  std::vector<UploaderStats> uploaders;  // most bytes first after sort_uploaders
  uint32_t good_files = 0;
  uint64_t good_bytes = 0;
};

// readrace_file, then the uploaders in order of bytes (then name).
RaceSummary summarise_race(RaceLocations* locations, RaceState* state);

// The user who leads a release: the first of the sorted uploaders; empty
// when nobody has uploaded a good or unchecked file.
std::string leader_of(const RaceSummary& summary);

}  // namespace racecheck

#endif
