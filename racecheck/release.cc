#include "racecheck/release.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace racecheck {

bool Release::open(const char* dir, std::string* error) {
  char resolved[PATH_MAX];
  struct stat st;
  if (::realpath(dir, resolved) == nullptr || ::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = std::string(dir) + ": not a directory";
    return false;
  }
  if (::chdir(resolved) != 0) {
    *error = std::string(dir) + ": " + std::strerror(errno);
    return false;
  }
  dir_ = resolved;
  release_path_ = dir_.size() > 1 ? dir_.substr(1) : std::string();
  std::string root = lapbook_data_root();
  if (root.empty() || root.back() != '/') root += '/';
  data_dir_ = root + release_path_;
  if (!data_dir_.empty() && data_dir_.back() == '/') data_dir_.pop_back();
  race_data_ = data_file(kRaceDataName);
  sfv_data_ = data_file(kSfvDataName);
  leader_ = data_file(kLeaderName);

  locations_.leader_path = leader_.c_str();
  locations_.sfv_data_path = sfv_data_.c_str();
  locations_.race_data_path = race_data_.c_str();
  locations_.release_path = release_path_.c_str();
  locations_.release_path_length = static_cast<int32_t>(release_path_.size());
  maketempdir(&locations_);
  if (::stat(data_dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = data_dir_ + ": cannot be created (does the data root " + root + " exist?)";
    return false;
  }
  return true;
}

}  // namespace racecheck
