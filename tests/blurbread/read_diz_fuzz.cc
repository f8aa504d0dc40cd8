// Arbitrary file contents through read_diz, and each piece through the
// compaction and search on a heap copy of exactly the size read_diz uses,
// so any read or write past the piece is caught by the sanitizer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "blurbread/blurbread.h"
#include "blurbread/disk_search.h"

namespace {

constexpr size_t kPiece = 4096;

struct ScratchFile {
  std::string path;
  int fd = -1;
  ScratchFile() {
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/blurbread-fuzz.XXXXXX";
    fd = mkstemp(path.data());
    if (fd < 0) std::abort();
  }
  ~ScratchFile() {
    close(fd);
    unlink(path.c_str());
  }
};

void check(bool ok) {
  if (!ok) std::abort();
}

// Compaction leaves no line feed, zero byte, double blank or capital letter,
// and never grows the text.
void check_compacted(const char* text, size_t read, size_t& length) {
  length = strnlen(text, read + 1);
  check(length <= read);
  for (size_t i = 0; i < length; ++i) {
    check(text[i] != '\n');
    check(!(text[i] >= 'A' && text[i] <= 'Z'));
    if (i > 0) check(!(text[i] == ' ' && text[i - 1] == ' '));
  }
}

// The count of the first piece that has one, searched as read_diz does.
int32_t count_in_memory(const uint8_t* data, size_t size) {
  for (size_t start = 0; start < size; start += kPiece) {
    const size_t n = size - start < kPiece ? size - start : kPiece;
    std::unique_ptr<char[]> piece(new char[n + 1]);
    std::memcpy(piece.get(), data + start, n);
    removespaces(piece.get(), static_cast<int32_t>(n));
    size_t length = 0;
    check_compacted(piece.get(), n, length);
    // Behind the terminator the piece is as read.
    if (length < n) check(std::memcmp(piece.get() + length + 1, data + start + length + 1, n - length - 1) == 0);
    const int32_t count = blurbread::find_disk_count(piece.get(), n);
    if (count != 0) return count;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchFile file;
  check(ftruncate(file.fd, 0) == 0);
  check(pwrite(file.fd, data, size, 0) == static_cast<ssize_t>(size));
  const int32_t from_file = read_diz(file.path.c_str());
  // Three captured digits at most.
  check(from_file >= 0 && from_file <= 999);
  check(from_file == count_in_memory(data, size));
  return 0;
}
