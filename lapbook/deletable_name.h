// Names read from lapbook's data files end up in unlink(); a damaged or
// hostile file must not reach outside the release directory through them.
#ifndef LAPBOOK_DELETABLE_NAME_H
#define LAPBOOK_DELETABLE_NAME_H

#include <cstring>

namespace lapbook {

// SECURITY: only a plain name in the current directory may be deleted.
inline bool is_deletable_name(const char* name) {
  return name[0] != 0 && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

}  // namespace lapbook

#endif
