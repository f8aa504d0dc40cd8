// Replays checked-in inputs through a fuzz target in ordinary builds, so that
// every crash a fuzzer once found stays a regression test without clang.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replay_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", p.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) failures += replay_file(e.path()), ++count;
    } else {
      failures += replay_file(p), ++count;
    }
  }
  // Empty input and a few fixed shapes always run, so the target is exercised even
  // before a corpus exists.
  const uint8_t fixed[] = "\n\r\n\0\xff";
  for (size_t n = 0; n <= sizeof fixed; ++n) LLVMFuzzerTestOneInput(fixed, n), ++count;
  std::printf("replayed %d inputs\n", count);
  return failures ? 1 : 0;
}
