// lapbook's routines work in the current directory, so a fuzz target runs
// every input in one directory of its own, removed at exit, and gives the
// caller's directory back after each input for the paths of the next.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace lapbook_test {

class FuzzScratch {
 public:
  FuzzScratch() {
    if (!made()) {
      if (::mkdtemp(path()) == nullptr) std::abort();
      std::atexit(remove_all);
      made() = true;
    }
    previous_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (previous_ < 0 || ::chdir(path()) != 0) std::abort();
  }
  ~FuzzScratch() {
    if (::fchdir(previous_) != 0) std::abort();
    ::close(previous_);
  }
  FuzzScratch(const FuzzScratch&) = delete;
  FuzzScratch& operator=(const FuzzScratch&) = delete;

 private:
  static char* path() {
    static char p[] = "/tmp/lapbook-fuzz.XXXXXX";
    return p;
  }
  static bool& made() {
    static bool m = false;
    return m;
  }
  static int remove_entry(const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }
  static void remove_all() { ::nftw(path(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

  int previous_;
};

}  // namespace lapbook_test
