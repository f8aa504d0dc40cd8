// The release type an SFV's accepted entries give, by their extensions.
#ifndef LAPBOOK_RELEASE_TYPE_H
#define LAPBOOK_RELEASE_TYPE_H

#include <cstdint>

namespace lapbook {

struct ExtensionCounts {
  uint32_t rar = 0;
  uint32_t mp3 = 0;
  uint32_t video = 0;
  uint32_t other = 0;
};

// The largest of rar, mp3 and video wins if it is at least the other count
// (ties go to rar, then mp3, then video); else the type is "other". No
// entries at all give the rar type.
uint16_t choose_release_type(const ExtensionCounts& counts);

}  // namespace lapbook

#endif
