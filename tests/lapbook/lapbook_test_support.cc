#include "tests/lapbook/lapbook_test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lapbook_test {

Outside& outside() {
  static Outside o;
  return o;
}

void reset_outside() { outside() = Outside(); }

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
}  // namespace

ScratchDir::ScratchDir() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) throw std::runtime_error("getcwd");
  previous_ = buf;
  char templ[] = "/tmp/lapbook-test.XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = templ;
  if (::chdir(path_.c_str()) != 0) throw std::runtime_error("chdir");
  reset_outside();
}

ScratchDir::~ScratchDir() {
  if (::chdir(previous_.c_str()) != 0) std::abort();
  ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

std::string le16(uint16_t v) { return le32(v).substr(0, 2); }

std::string field24(const std::string& text) {
  std::string s = text.substr(0, 24);
  s.resize(24, '\0');
  return s;
}

std::string race_bytes(const Rec& r) {
  std::string s = le32(static_cast<uint32_t>(r.name.size() + 1)) + r.name + std::string(1, '\0');
  s += static_cast<char>(r.status);
  s += le32(r.crc) + field24(r.user) + field24(r.group);
  s += le32(r.file_size) + le32(r.transfer_time) + le32(r.info1) + le32(r.info2);
  return s;
}

std::string sfv_data_bytes(uint16_t release_type, const std::vector<std::pair<std::string, uint32_t>>& entries) {
  std::string s = le16(release_type);
  for (const auto& [name, crc] : entries)
    s += le32(static_cast<uint32_t>(name.size() + 1)) + name + std::string(1, '\0') + le32(crc);
  return s;
}

std::vector<int> statuses_of(const std::string& d) {
  std::vector<int> out;
  size_t p = 0;
  while (p + 4 <= d.size()) {
    uint32_t len = static_cast<uint8_t>(d[p]) | static_cast<uint8_t>(d[p + 1]) << 8 |
                   static_cast<uint8_t>(d[p + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d[p + 3])) << 24;
    size_t status_at = p + 4 + len;
    if (status_at + 69 > d.size()) break;
    out.push_back(static_cast<uint8_t>(d[status_at]));
    p = status_at + 69;
  }
  return out;
}

}  // namespace lapbook_test

// The checker's routines, as a checker that keeps its answers in a table would.
extern "C" {

int findfile(const char* name) {
  auto& o = lapbook_test::outside();
  o.findfile_calls.emplace_back(name);
  return o.present.count(name) != 0 ? 1 : 0;
}

void create_missing(const char* name, int16_t length) {
  lapbook_test::outside().missing_calls.emplace_back(name, length);
}

int16_t strcomp(const char* list, const char* extension) {
  lapbook_test::outside().strcomp_calls.emplace_back(extension);
  std::string items(list);
  std::string want = std::string(",") + extension + ",";
  return (items + ",").find(want) != std::string::npos ? 1 : 0;
}

uint32_t hexstrtodec(const char* text) {
  lapbook_test::outside().hexstrtodec_calls.emplace_back(text);
  uint32_t v = 0;
  for (const char* p = text; *p != 0; ++p) {
    char c = *p;
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return 0;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  return v;
}

uint8_t israr(const char* extension) {
  std::string e(extension);
  if (e == "rar") return 1;
  return e.size() == 3 && e[0] == 'r' && isdigit(static_cast<unsigned char>(e[1])) &&
                 isdigit(static_cast<unsigned char>(e[2]))
             ? 1
             : 0;
}

int isvideo(const char* extension) {
  std::string e(extension);
  return e == "avi" || e == "mkv" || e == "mpg" ? 1 : 0;
}

void updatestats(RaceState* state, void* extra1, void* extra2, const char* user_name, const char* group_name,
                 uint32_t file_size, uint32_t transfer_time, uint32_t info1, uint32_t info2) {
  lapbook_test::outside().stats_calls.push_back(lapbook_test::StatsCall{
      state, extra1, extra2, std::string(user_name, 24), std::string(group_name, 24), file_size, transfer_time,
      info1, info2});
}

}  // extern "C"
