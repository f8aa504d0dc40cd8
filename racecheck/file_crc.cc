#include "racecheck/file_crc.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace racecheck {

bool file_crc32(const char* path, uint32_t* crc) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uLong value = crc32(0L, Z_NULL, 0);
  unsigned char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    value = crc32(value, buf, static_cast<uInt>(n));
  }
  ::close(fd);
  *crc = static_cast<uint32_t>(value);
  return ok;
}

}  // namespace racecheck
