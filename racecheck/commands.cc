#include "racecheck/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "blurbread/blurbread.h"
#include "lapbook/lapbook.h"
#include "racecheck/checker_routines.h"
#include "racecheck/file_crc.h"
#include "racecheck/race_summary.h"

namespace racecheck {

namespace {

// transfer_time is recorded in 1/1048576 s, so that file_size * 1024 /
// transfer_time, which lapdump prints, is the speed in KB/s.
constexpr double kTimeUnitsPerSecond = 1048576.0;

const char* release_type_name(uint16_t type) {
  switch (type) {
    case LAPBOOK_RELEASE_RAR:
      return "rar";
    case LAPBOOK_RELEASE_OTHER:
      return "other";
    case LAPBOOK_RELEASE_MP3:
      return "mp3";
    case LAPBOOK_RELEASE_VIDEO:
      return "video";
    default:
      return "unfinished";
  }
}

bool have_sfv(Release* release) { return ::access(release->locations()->sfv_data_path, F_OK) == 0; }

// SFV entries and, of those, the ones not in the directory.
struct SfvCounts {
  unsigned listed = 0;
  int missing = 0;
  uint16_t release_type = 0;
};

SfvCounts count_sfv(Release* release) {
  RaceState st{};
  readsfv_file(release->locations(), &st, 1);
  return SfvCounts{st.sfv_file_count, st.missing_count, st.release_type};
}

void fill_field(char* field, const char* text) {
  // The fields are copied whole: a 24-character name has no zero byte.
  std::memset(field, 0, LAPBOOK_NAME_FIELD_SIZE);
  std::memcpy(field, text, strnlen(text, LAPBOOK_NAME_FIELD_SIZE));
}

void print_standings(const RaceSummary& summary) {
  unsigned place = 0;
  for (const UploaderStats& u : summary.uploaders) {
    double seconds = static_cast<double>(u.transfer_time) / kTimeUnitsPerSecond;
    double speed = seconds > 0 ? static_cast<double>(u.bytes) / 1024.0 / seconds : 0.0;
    std::printf("  %u. %s/%s: %u file%s, %llu bytes, %.1f KB/s\n", ++place, u.user.c_str(), u.group.c_str(),
                u.files, u.files == 1 ? "" : "s", static_cast<unsigned long long>(u.bytes), speed);
  }
}

// After every change: the standings, a change of leader, and the index once
// nothing is missing.
void report_race(Release* release) {
  RaceState st{};
  RaceSummary summary = summarise_race(release->locations(), &st);
  std::string leader = leader_of(summary);
  if (!leader.empty()) {
    char next[LAPBOOK_NAME_FIELD_SIZE];
    fill_field(next, leader.c_str());
    read_write_leader_file(release->locations(), &st, next);
    std::string previous(st.leader, strnlen(st.leader, LAPBOOK_NAME_FIELD_SIZE));
    if (previous.empty())
      std::printf("%s leads the race\n", leader.c_str());
    else if (previous != leader)
      std::printf("%s takes the lead from %s\n", leader.c_str(), previous.c_str());
  }
  print_standings(summary);
  if (st.bad_count != 0) std::printf("  bad uploads: %u (%u bytes)\n", st.bad_count, st.bad_size_total);
  if (!have_sfv(release)) return;
  SfvCounts sfv = count_sfv(release);
  if (sfv.listed == 0) return;
  if (sfv.missing > 0) {
    std::printf("  %u of %u files, %d missing\n", sfv.listed - static_cast<unsigned>(sfv.missing), sfv.listed,
                sfv.missing);
    return;
  }
  std::string index = release->data_file(kIndexName);
  RaceState ist{};
  ist.sfv_file_count = static_cast<uint8_t>(sfv.listed);
  create_indexfile_file(release->locations(), &ist, index.c_str());
  delete_sfv_file(release->locations());
  std::printf("release complete: %u files, %llu bytes; index in %s\n", sfv.listed,
              static_cast<unsigned long long>(summary.good_bytes), index.c_str());
}

}  // namespace

int command_sfv(Release* release, const char* sfv_name) {
  struct stat st;
  if (::stat(sfv_name, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::printf("%s: no such SFV in %s\n", sfv_name, release->dir().c_str());
    return kExitRejected;
  }
  copysfv_file(sfv_name, release->locations()->sfv_data_path, static_cast<int64_t>(st.st_size));
  SfvCounts sfv = count_sfv(release);
  std::printf("%s: %u files listed, %s release, %d missing\n", sfv_name, sfv.listed,
              release_type_name(sfv.release_type), sfv.missing);
  // Uploads that came before the SFV are checked now.
  RaceState check{};
  testfiles_file(release->locations(), &check);
  report_race(release);
  return kExitOk;
}

int command_upload(Release* release, const char* file_name, const char* user, const char* group,
                   double seconds) {
  struct stat st;
  uint32_t crc = 0;
  if (!is_plain_name(file_name, std::strlen(file_name)) || ::stat(file_name, &st) != 0 || !S_ISREG(st.st_mode) ||
      !file_crc32(file_name, &crc)) {
    std::printf("%s: no such upload in %s\n", file_name, release->dir().c_str());
    return kExitRejected;
  }
  char user_field[LAPBOOK_NAME_FIELD_SIZE];
  fill_field(user_field, user);
  RaceState rs{};
  rs.user_name = user_field;
  fill_field(rs.group_name, group);
  rs.file_name = file_name;
  rs.file_size = st.st_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(st.st_size);
  double units = std::round(seconds * kTimeUnitsPerSecond);
  rs.transfer_time = units < 1 ? 1 : units > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(units);
  rs.info1 = static_cast<uint32_t>(std::time(nullptr));
  writerace_file(release->locations(), &rs, crc, LAPBOOK_STATUS_NOT_CHECKED);

  int status = kExitOk;
  if (!have_sfv(release)) {
    std::printf("%s from %s/%s: CRC-32 %08X, not checked yet (no SFV)\n", file_name, user, group, crc);
  } else {
    RaceState probe{};
    probe.file_name = file_name;
    uint32_t listed = readsfv_file(release->locations(), &probe, 0);
    RaceState check{};
    testfiles_file(release->locations(), &check);
    if (crc != 0 && crc == listed) {
      ::unlink(marker_name(file_name).c_str());
      std::printf("%s from %s/%s: CRC-32 %08X OK\n", file_name, user, group, crc);
    } else if (listed != 0) {
      std::printf("%s from %s/%s: CRC-32 %08X BAD, the SFV gives %08X; deleted\n", file_name, user, group, crc,
                  listed);
      status = kExitRejected;
    } else {
      std::printf("%s from %s/%s: not in the SFV; deleted\n", file_name, user, group);
      status = kExitRejected;
    }
  }
  report_race(release);
  return status;
}

int command_check(Release* release) {
  RaceState check{};
  testfiles_file(release->locations(), &check);
  std::printf("race in %s\n", release->dir().c_str());
  report_race(release);
  return kExitOk;
}

int command_index(Release* release, const char* index_path) {
  RaceState st{};
  readsfv_file(release->locations(), &st, 0);
  create_indexfile_file(release->locations(), &st, index_path);
  std::printf("index of the good files written to %s\n", index_path);
  return kExitOk;
}

int command_diz(const char* diz_path) {
  int32_t disks = read_diz(diz_path);
  if (disks == 0)
    std::printf("%s announces no disk count\n", diz_path);
  else
    std::printf("%s announces %d disk%s\n", diz_path, static_cast<int>(disks), disks == 1 ? "" : "s");
  return kExitOk;
}

}  // namespace racecheck
