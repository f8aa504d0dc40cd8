// A descriptor has one owner, which closes it; every file opens close-on-exec
// so that a program the linking checker starts inherits none of them.
#ifndef LAPBOOK_UNIQUE_FD_H
#define LAPBOOK_UNIQUE_FD_H

#include <sys/types.h>

namespace lapbook {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);
  // Closes now and returns close()'s result, for writers that must know.
  int close();

 private:
  int fd_ = -1;
};

// open() with O_CLOEXEC added, retried when interrupted.
UniqueFd open_file(const char* path, int flags, mode_t mode = 0);

}  // namespace lapbook

#endif
