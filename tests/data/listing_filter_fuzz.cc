// Listings of any bytes cut at any points: what passes never depends on
// where the reads ended, every passed line is a line of the input, and no
// name passes twice.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ferrynet/data/listing_filter.h"

namespace {

std::vector<std::string> filter(const std::string& input, const uint8_t* cuts, size_t ncuts) {
  ferrynet::SeenNames seen;
  ferrynet::ListingFilter f(seen);
  std::vector<std::string> out;
  auto emit = [&](const char* p, size_t n) {
    out.emplace_back(p, n);
    return true;
  };
  size_t pos = 0;
  for (size_t k = 0; pos < input.size(); ++k) {
    size_t n = ncuts ? 1 + cuts[k % ncuts] : input.size();
    if (n > input.size() - pos) n = input.size() - pos;
    f.feed(input.data() + pos, n, emit);
    pos += n;
  }
  f.finish(emit);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte says how many of the next bytes are read sizes.
  size_t ncuts = size ? data[0] % 16 : 0;
  if (ncuts + 1 > size) ncuts = size ? size - 1 : 0;
  const uint8_t* cuts = data + (size ? 1 : 0);
  std::string input(reinterpret_cast<const char*>(data) + (size ? 1 + ncuts : 0),
                    size ? size - 1 - ncuts : 0);

  std::vector<std::string> whole = filter(input, nullptr, 0);
  if (filter(input, cuts, ncuts) != whole) std::abort();

  std::set<std::string> lines, names;
  for (size_t pos = 0; pos < input.size();) {
    size_t lf = input.find('\n', pos);
    size_t end = lf == std::string::npos ? input.size() : lf + 1;
    lines.insert(input.substr(pos, end - pos));
    pos = end;
  }
  for (const std::string& line : whole) {
    if (!lines.count(line)) std::abort();
    std::string_view name = ferrynet::listing_name(line.data(), line.size());
    if (!name.empty() && !names.insert(std::string(name)).second) std::abort();
  }
  return 0;
}
