#include "lapbook/release_type.h"

#include "lapbook/lapbook.h"

namespace lapbook {

uint16_t choose_release_type(const ExtensionCounts& c) {
  if (c.mp3 > c.rar) {
    if (c.video > c.mp3) return c.video >= c.other ? LAPBOOK_RELEASE_VIDEO : LAPBOOK_RELEASE_OTHER;
    return c.mp3 >= c.other ? LAPBOOK_RELEASE_MP3 : LAPBOOK_RELEASE_OTHER;
  }
  if (c.video > c.rar) return c.video >= c.other ? LAPBOOK_RELEASE_VIDEO : LAPBOOK_RELEASE_OTHER;
  return c.rar >= c.other ? LAPBOOK_RELEASE_RAR : LAPBOOK_RELEASE_OTHER;
}

}  // namespace lapbook
