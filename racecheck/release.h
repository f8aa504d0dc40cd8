// One release directory and where lapbook keeps its files for it: below the
// data root, in a directory that mirrors the release's absolute path.
#ifndef RACECHECK_RELEASE_H
#define RACECHECK_RELEASE_H

#include <string>

#include "lapbook/lapbook.h"

namespace racecheck {

inline constexpr const char kRaceDataName[] = "racedata";
inline constexpr const char kSfvDataName[] = "sfvdata";
inline constexpr const char kLeaderName[] = "leader";
inline constexpr const char kIndexName[] = "index";

class Release {
 public:
  Release() = default;
  Release(const Release&) = delete;  // locations points into the strings
  Release& operator=(const Release&) = delete;

  // Resolves dir, enters it (lapbook's SFV routines work in the current
  // directory) and creates the data directory. False, with a message in
  // *error, when dir is not a directory.
  bool open(const char* dir, std::string* error);

  const std::string& dir() const { return dir_; }
  const std::string& data_dir() const { return data_dir_; }
  std::string data_file(const char* name) const { return data_dir_ + "/" + name; }
  RaceLocations* locations() { return &locations_; }

 private:
  std::string dir_;
  std::string release_path_;  // dir_ without its leading "/"
  std::string data_dir_;
  std::string race_data_, sfv_data_, leader_;
  RaceLocations locations_{};
};

}  // namespace racecheck

#endif
