// The release's working directory, mirrored below the data root.
#include <sys/stat.h>

#include <cstring>

#include "lapbook/byte_buffer.h"
#include "lapbook/lapbook.h"
#include "lapbook/limits.h"

namespace {
// Set by the linking program (or a test) before any other call; read only.
const char* data_root = nullptr;
}  // namespace

extern "C" void lapbook_set_data_root(const char* root) { data_root = root; }

extern "C" const char* lapbook_data_root(void) {
  return data_root != nullptr ? data_root : lapbook::kDefaultDataRoot;
}

extern "C" void maketempdir(RaceLocations* locations) {
  const char* root = lapbook_data_root();
  size_t root_length = std::strlen(root);
  const char* release = locations->release_path != nullptr ? locations->release_path : "";
  size_t release_length = 0;
  if (locations->release_path_length > 0) {
    // Never trust the count past the text's own end.
    const void* end = std::memchr(release, 0, static_cast<size_t>(locations->release_path_length));
    release_length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - release)
                                    : static_cast<size_t>(locations->release_path_length);
  }

  lapbook::ByteBuffer path;
  if (!path.append(root, root_length)) return;
  if (root_length == 0 || root[root_length - 1] != '/') {
    if (!path.append_byte('/')) return;
  }
  size_t prefix = path.size();
  if (!path.append(release, release_length) || !path.append_byte(0)) return;

  char* text = reinterpret_cast<char*>(path.data());
  for (size_t i = prefix; i < path.size(); ++i) {
    if (text[i] != '/' && text[i] != 0) continue;
    char saved = text[i];
    text[i] = 0;
    // An existing level is the normal case; every other error is ignored too.
    ::mkdir(text, lapbook::kTempDirMode);
    text[i] = saved;
  }
}
