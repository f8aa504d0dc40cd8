#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "blurbread/blurbread.h"
#include "blurbread/disk_search.h"
#include "blurbread/limits.h"

namespace {

// Owns the description file so every return closes it. Kept local: the
// library must link into C programs without any C++ runtime.
class FileFd {
 public:
  explicit FileFd(const char* path) {
    // Non-blocking so a FIFO or device put in place of the file cannot stall
    // the checker; such a read fails and counts as no notation.
    do {
      fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
  }
  FileFd(const FileFd&) = delete;
  FileFd& operator=(const FileFd&) = delete;
  ~FileFd() {
    if (fd_ >= 0) ::close(fd_);
  }

  ssize_t read(char* buffer, size_t size) {
    if (fd_ < 0) return -1;
    ssize_t n;
    do {
      n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
  }

 private:
  int fd_ = -1;
};

}  // namespace

extern "C" int32_t read_diz(const char* path) {
  if (path == nullptr) return 0;
  FileFd file(path);
  char buffer[blurbread::kBufferSize];
  for (;;) {
    const ssize_t n = file.read(buffer, blurbread::kReadSize);
    if (n <= 0) return 0;
    removespaces(buffer, static_cast<int32_t>(n));
    // Start positions cover all n bytes read, so the terminator and the raw
    // bytes compaction left behind it are searched as they stand.
    const int32_t count = blurbread::find_disk_count(buffer, static_cast<size_t>(n));
    if (count != 0) return count;
  }
}
