#include "lapbook/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace lapbook {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() {
  int fd = release();
  return fd >= 0 ? ::close(fd) : 0;
}

UniqueFd open_file(const char* path, int flags, mode_t mode) {
  if (path == nullptr) return UniqueFd();
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

}  // namespace lapbook
