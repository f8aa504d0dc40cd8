#include "ferrynet/data/byte_copy.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/data_limits.h"

namespace ferrynet {

namespace {

// Logging may touch errno; the caller reports the failure's own.
long long failed(const char* format, int err) {
  log_line('e', format, std::strerror(err));
  errno = err;
  return -1;
}

bool send_whole(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed("unexpected write() error occured in data bounce routine: %s\n", n < 0 ? errno : EPIPE);
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

long long copy_bytes(int a, int b) {
  // On the heap: the pump thread's stack is not meant for a file's worth of chunk.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kRawChunk]);
  if (!buffer) {
    errno = ENOMEM;
    return -1;
  }
  const int fds[2] = {a, b};
  long long moved = 0;
  for (;;) {
    bool ready[2] = {};
    if (wait_any_readable(fds, 2, -1, ready) < 0) return moved;
    const int from = ready[0] ? a : b;
    const int to = ready[0] ? b : a;
    ssize_t got;
    do got = ::recv(from, buffer.get(), kRawChunk, 0);
    while (got < 0 && errno == EINTR);
    if (got == 0) return moved;
    if (got < 0) return failed("unexpected read() error occured in data bounce routine: %s\n", errno);
    if (!send_whole(to, buffer.get(), static_cast<size_t>(got))) return -1;
    moved += got;
  }
}

}  // namespace ferrynet
