// copysfv_file on arbitrary SFV text, then the invariants its two outputs
// must keep whatever arrived: the cleaned SFV has only well-formed lines,
// the data file holds the same entries in the same order, and reading it
// back counts them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "lapbook/lapbook.h"
#include "lapbook/sfv_data_reader.h"
#include "tests/lapbook/fuzz_scratch.h"
#include "tests/lapbook/lapbook_test_support.h"

namespace {

const std::string kHeader = "; sfv raped by tallyrace on the mighty Outpost\r\n; \r\n";

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lapbook_test::FuzzScratch in_scratch;
  lapbook_test::reset_outside();
  // The first byte, when there is one, decides which names findfile knows.
  bool all_present = size > 0 && (data[0] & 1) != 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  lapbook_test::write_file("up.sfv", text);
  ::unlink("sfvdata");
  copysfv_file("up.sfv", "sfvdata", static_cast<int64_t>(size));
  check(!lapbook_test::exists(".tmpsfv"), "work file left behind");

  std::string cleaned = lapbook_test::read_file("up.sfv");
  check(cleaned.compare(0, kHeader.size(), kHeader) == 0, "comment lines first");
  std::vector<std::string> names;
  for (size_t p = kHeader.size(); p < cleaned.size();) {
    size_t end = cleaned.find("\r\n", p);
    check(end != std::string::npos, "every line ends in CR LF");
    std::string line = cleaned.substr(p, end - p);
    check(line.size() >= 10 && line[line.size() - 9] == ' ', "name, blank, eight characters");
    for (char c : line) check(c != 0 && !(c >= 'A' && c <= 'Z'), "lower case, no zero byte");
    names.push_back(line.substr(0, line.size() - 9));
    p = end + 2;
  }
  size_t markable = 0;
  for (const std::string& n : names) markable += n.size() <= INT16_MAX ? 1 : 0;
  check(lapbook_test::outside().missing_calls.size() == markable, "every absent file is marked");

  int fd = ::open("sfvdata", O_RDONLY);
  check(fd >= 0, "data file written");
  lapbook::SfvDataReader reader(fd);
  uint16_t type = 0;
  check(reader.read_header(&type) && type >= 1 && type <= 4, "release type set");
  lapbook::SfvEntry e;
  size_t i = 0;
  lapbook::ReadResult r;
  while ((r = reader.next(&e)) == lapbook::ReadResult::kRecord) {
    check(i < names.size() && names[i] == e.name && e.crc32 != 0, "data entry matches cleaned line");
    ++i;
  }
  ::close(fd);
  check(r == lapbook::ReadResult::kEnd && i == names.size(), "data file holds every entry, undamaged");

  if (all_present)
    for (const std::string& n : names) lapbook_test::outside().present.insert(n);
  RaceLocations loc{"leader", "sfvdata", "racedata", "", 0};
  RaceState st{};
  st.file_name = names.empty() ? "" : names.back().c_str();
  readsfv_file(&loc, &st, 1);
  check(st.sfv_file_count == static_cast<uint8_t>(names.size()), "entries counted");
  // The count is a byte and wraps; the found files are taken off one by one.
  int counted = static_cast<uint8_t>(names.size());
  int expected = all_present ? counted - static_cast<int>(names.size()) : counted;
  check(st.missing_count == static_cast<int16_t>(expected), "absent entries counted");
  delete_sfv_file(&loc);
  return 0;
}
