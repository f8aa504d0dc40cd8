/* Built and linked by the C compiler alone: proves the header is C and that
 * the archive needs no C++ runtime, then reads the exported tables and disk
 * counts the way the upload checker does. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "blurbread/blurbread.h"

static int failures = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

static char dir[64];

static int32_t disks_in(const char* contents, size_t length) {
  char path[96];
  snprintf(path, sizeof path, "%s/file.diz", dir);
  FILE* f = fopen(path, "wb");
  if (f == NULL) {
    ++failures;
    return -1;
  }
  fwrite(contents, 1, length, f);
  fclose(f);
  int32_t n = read_diz(path);
  unlink(path);
  return n;
}

#define DISKS(literal) disks_in(literal, sizeof literal - 1)

int main(void) {
  static const char* const expected[] = {
      "[?!/##]",      "(?!/##)", "[?!!/###]",   "(?!!/###)", "[?/#]",      "(?/#)",
      "[disk:!!/##]", "o?/o#",   "disks[!!/##", " !/# ",          " !!/##&/",   "&/!!/## ",
      "[!!/#]",       ": ?!/##&/", "xx/##",     "<!!/##>",
  };
  CHECK(strings == 16);
  CHECK(strings == (int32_t)(sizeof search / sizeof search[0]));
  for (int32_t i = 0; i < strings && i < 16; ++i) {
    if (strcmp(search[i], expected[i]) != 0) {
      fprintf(stderr, "search[%d] is \"%s\"\n", (int)i, search[i]);
      ++failures;
    }
  }

  char text[] = "A \n\n\tB\r\n";
  removespaces(text, (int32_t)(sizeof text - 1));
  CHECK(memcmp(text, "a \tb\r \0", 7) == 0);

  snprintf(dir, sizeof dir, "%s", "/tmp/blurbread-c.XXXXXX");
  if (mkdtemp(dir) == NULL) {
    perror("mkdtemp");
    return 1;
  }
  CHECK(DISKS("Disks[02/15") == 15);
  CHECK(DISKS("[01/12]") == 12);
  CHECK(DISKS("(1/5)") == 5);
  CHECK(DISKS("<01/05>") == 5);
  CHECK(DISKS("xx/07") == 7);
  CHECK(DISKS("[01/00]") == 0);
  CHECK(DISKS("[01/00] xx/07") == 7);
  CHECK(DISKS("[  \n \n01/12]") == 12);
  CHECK(DISKS("no notation here") == 0);
  rmdir(dir);
  CHECK(read_diz(dir) == 0);

  if (failures == 0) printf("blurbread C test passed\n");
  return failures == 0 ? 0 : 1;
}
