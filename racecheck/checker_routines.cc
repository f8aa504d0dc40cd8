#include "racecheck/checker_routines.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "lapbook/lapbook.h"

namespace racecheck {

namespace {

std::string lower(const char* text, size_t length) {
  std::string s(text, length);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string marker_name(const std::string& name) { return lower(name.data(), name.size()) + "-missing"; }

bool is_plain_name(const char* name, size_t length) {
  if (length == 0 || std::memchr(name, '/', length) != nullptr) return false;
  return !(length == 1 && name[0] == '.') && !(length == 2 && name[0] == '.' && name[1] == '.');
}

}  // namespace racecheck

// Uploads keep the case the uploader gave them, the SFV data file holds
// lower-case names: presence is a case-blind look through the directory.
extern "C" int findfile(const char* name) {
  if (!racecheck::is_plain_name(name, std::strlen(name))) return 0;
  DIR* dir = ::opendir(".");
  if (dir == nullptr) return 0;
  int found = 0;
  while (dirent* e = ::readdir(dir)) {
    if (::strcasecmp(e->d_name, name) != 0) continue;
    struct stat st;
    if (::stat(e->d_name, &st) == 0 && S_ISREG(st.st_mode)) {
      found = 1;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

extern "C" void create_missing(const char* name, int16_t length) {
  if (length <= 0) return;
  size_t n = strnlen(name, static_cast<size_t>(length));
  if (!racecheck::is_plain_name(name, n)) return;
  std::string marker = racecheck::marker_name(std::string(name, n));
  int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

extern "C" int16_t strcomp(const char* list, const char* extension) {
  size_t n = std::strlen(extension);
  for (const char* p = std::strchr(list, ','); p != nullptr; p = std::strchr(p + 1, ',')) {
    const char* item = p + 1;
    size_t item_length = std::strcspn(item, ",");
    if (item_length == n && ::strncasecmp(item, extension, n) == 0) return 1;
  }
  return 0;
}

extern "C" uint32_t hexstrtodec(const char* text) {
  uint32_t value = 0;
  size_t digits = 0;
  for (const char* p = text; *p != 0; ++p, ++digits) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      return 0;
    }
    value = value << 4 | d;
  }
  return digits == 8 ? value : 0;
}

// rar, its volumes r00..r99 and s00..s99, and numbered pieces 000..999.
extern "C" uint8_t israr(const char* extension) {
  std::string e = racecheck::lower(extension, std::strlen(extension));
  if (e == "rar") return 1;
  if (e.size() != 3 || !racecheck::is_digit(e[1]) || !racecheck::is_digit(e[2])) return 0;
  return e[0] == 'r' || e[0] == 's' || racecheck::is_digit(e[0]) ? 1 : 0;
}

extern "C" int isvideo(const char* extension) {
  static const char* const kVideo[] = {"avi", "mkv", "mp4", "mpg", "mpeg", "m2ts", "vob", "wmv", "divx", "m2v"};
  std::string e = racecheck::lower(extension, std::strlen(extension));
  for (const char* v : kVideo)
    if (e == v) return 1;
  return 0;
}
