#include "racecheck/race_summary.h"

#include <algorithm>
#include <cstring>

namespace racecheck {

namespace {

std::string field_text(const char* field) {
  return std::string(field, strnlen(field, LAPBOOK_NAME_FIELD_SIZE));
}

}  // namespace

RaceSummary summarise_race(RaceLocations* locations, RaceState* state) {
  RaceSummary summary;
  readrace_file(locations, state, &summary, nullptr);
  std::stable_sort(summary.uploaders.begin(), summary.uploaders.end(),
                   [](const UploaderStats& a, const UploaderStats& b) {
                     if (a.bytes != b.bytes) return a.bytes > b.bytes;
                     return a.user < b.user;
                   });
  return summary;
}

std::string leader_of(const RaceSummary& summary) {
  return summary.uploaders.empty() ? std::string() : summary.uploaders.front().user;
}

}  // namespace racecheck

extern "C" void updatestats(RaceState*, void* extra1, void*, const char* user_name, const char* group_name,
                            uint32_t file_size, uint32_t transfer_time, uint32_t, uint32_t) {
  auto* summary = static_cast<racecheck::RaceSummary*>(extra1);
  if (summary == nullptr) return;
  std::string user = racecheck::field_text(user_name);
  auto it = std::find_if(summary->uploaders.begin(), summary->uploaders.end(),
                         [&](const racecheck::UploaderStats& u) { return u.user == user; });
  if (it == summary->uploaders.end()) {
    summary->uploaders.push_back(racecheck::UploaderStats{user, racecheck::field_text(group_name)});
    it = summary->uploaders.end() - 1;
  }
  ++it->files;
  it->bytes += file_size;
  it->transfer_time += transfer_time;
  ++summary->good_files;
  summary->good_bytes += file_size;
}
