// Arbitrary bytes as a race data file and as an SFV data file, through
// lapdump's listing and every lapbook routine that reads them. The listing
// must end in its one closing line and the routines must neither grow nor
// damage the file more than a status byte at a time.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lapbook/lapbook.h"
#include "lapdump/race_listing.h"
#include "tests/lapbook/fuzz_scratch.h"
#include "tests/lapbook/lapbook_test_support.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lapbook_test::FuzzScratch in_scratch;
  lapbook_test::reset_outside();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  lapbook_test::write_file("racedata", bytes);
  lapbook_test::write_file("sfvdata", bytes);

  int fd = ::open("racedata", O_RDONLY);
  check(fd >= 0, "input written");
  char* text = nullptr;
  size_t length = 0;
  FILE* out = ::open_memstream(&text, &length);
  lapdump::ListingEnd end = lapdump::list_race_data(fd, out);
  std::fclose(out);
  ::close(fd);
  std::string listing(text, length);
  std::free(text);
  check(ends_with(listing, end == lapdump::ListingEnd::kEof ? "\n|-[EOF]\n" : "\n|-[CORRUPTED]\n"),
        "listing closes with its end line");

  RaceLocations loc{"leader", "sfvdata", "racedata", "", 0};
  RaceState st{};
  readrace_file(&loc, &st, nullptr, nullptr);
  st.file_name = "a";
  readsfv_file(&loc, &st, 1);
  clear_file_file(&loc, "a");
  testfiles_file(&loc, &st);
  check(st.file_name != nullptr && st.file_name[0] == 'a', "file name given back");
  create_indexfile_file(&loc, &st, "index");
  delete_sfv_file(&loc);

  // A record may name the data file itself, which testfiles_file deletes.
  if (lapbook_test::exists("racedata")) {
    std::string after = lapbook_test::read_file("racedata");
    check(after.size() == size, "status changes keep the file's size");
    for (size_t i = 0; i < size; ++i) {
      auto was = static_cast<uint8_t>(bytes[i]), now = static_cast<uint8_t>(after[i]);
      if (was == now) continue;
      bool cleared = now == 0 && (was == 1 || was == 2 || was == 253);
      bool checked = (now == 1 || now == 255) && was == 2;
      check(cleared || checked, "only live status bytes change, to a final status");
    }
  }
  return 0;
}
