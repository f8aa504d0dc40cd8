// Section shortcuts: the top-level directory names the site a command goes to.
#pragma once

#include <cstddef>

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

struct SectionRow {
  const char* name;
  int site;
};

extern const SectionRow SectionTable[];
extern const int SectionCount;

// The row "CWD " and "CDUP" handler; always handled.
CommandResult section_shortcut(Session& s, std::string_view line);

// The site holding the section an absolute path leads into, or -1.
int section_site(const char* absolute_path, int sites);

// Rewrites `path` in place; false (path unchanged) when the result would not fit `size`.
bool normalise(char* path, size_t size);
// Leaves the absolute target of `arg` seen from `cwd` in `arg`; false when it
// would not fit `size` bytes. `cwd` is normalised in place.
bool resolve(char* cwd, size_t cwd_size, char* arg, size_t size);

}  // namespace ferrynet
