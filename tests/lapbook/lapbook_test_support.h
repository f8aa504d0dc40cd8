// Test doubles for the checker's outside routines, a scratch directory that
// the tests run in, and byte-level builders for the data files, written
// apart from lapbook's own encoders so the two check each other.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "lapbook/lapbook.h"

namespace lapbook_test {

struct StatsCall {
  RaceState* state;
  void* extra1;
  void* extra2;
  std::string user_name;   // all 24 bytes
  std::string group_name;  // all 24 bytes
  uint32_t file_size, transfer_time, info1, info2;
};

// What the fake outside routines were asked and what they answer.
struct Outside {
  std::set<std::string> present;  // names findfile reports as there
  std::vector<std::string> findfile_calls;
  std::vector<std::pair<std::string, int>> missing_calls;  // name as passed with its length
  std::vector<std::string> strcomp_calls;
  std::vector<std::string> hexstrtodec_calls;
  std::vector<StatsCall> stats_calls;
};

Outside& outside();
void reset_outside();

// Makes a fresh directory, enters it, and on destruction leaves and removes it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

std::string le32(uint32_t v);
std::string le16(uint16_t v);
std::string field24(const std::string& text);  // text, zero-padded to 24 bytes

struct Rec {
  std::string name;
  uint8_t status = 2;
  uint32_t crc = 0;
  std::string user = "user";
  std::string group = "group";
  uint32_t file_size = 0;
  uint32_t transfer_time = 0;
  uint32_t info1 = 0;
  uint32_t info2 = 0;
};
std::string race_bytes(const Rec& r);
std::string sfv_data_bytes(uint16_t release_type, const std::vector<std::pair<std::string, uint32_t>>& entries);

// Status bytes of every record, in file order, read by walking the bytes.
std::vector<int> statuses_of(const std::string& race_data);

}  // namespace lapbook_test

namespace lapbook_test {

// The data files of one release, by relative paths inside a ScratchDir.
struct ReleaseFiles {
  ReleaseFiles() {
    locations.leader_path = "leader";
    locations.sfv_data_path = "sfvdata";
    locations.race_data_path = "racedata";
    locations.release_path = "site/rel";
    locations.release_path_length = 8;
  }
  RaceLocations locations{};
  RaceState state{};
};

}  // namespace lapbook_test
