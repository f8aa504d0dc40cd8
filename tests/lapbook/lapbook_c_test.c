/* Built and linked by the C compiler alone: proves the header is C and that
 * the archive needs no C++ runtime, then runs one release the way an upload
 * checker written in C would, with its own outside routines. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lapbook/lapbook.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* The checker's side: a file is present when it exists in the directory. */
static int markers_made = 0;
static uint32_t stats_bytes = 0;
static int stats_calls = 0;

int findfile(const char* name) { return access(name, F_OK) == 0; }

void create_missing(const char* name, int16_t length) {
  char path[256];
  snprintf(path, sizeof path, "%.*s-missing", (int)length, name);
  FILE* f = fopen(path, "w");
  if (f != NULL) fclose(f);
  ++markers_made;
}

int16_t strcomp(const char* list, const char* extension) {
  size_t n = strlen(extension);
  for (const char* p = strchr(list, ','); p != NULL; p = strchr(p + 1, ','))
    if (strncmp(p + 1, extension, n) == 0 && (p[1 + n] == ',' || p[1 + n] == 0)) return 1;
  return 0;
}

uint32_t hexstrtodec(const char* text) {
  char* end;
  unsigned long v = strtoul(text, &end, 16);
  return *end == 0 ? (uint32_t)v : 0;
}

uint8_t israr(const char* extension) { return strcmp(extension, "rar") == 0 || extension[0] == 'r'; }

int isvideo(const char* extension) { return strcmp(extension, "avi") == 0; }

void updatestats(RaceState* state, void* extra1, void* extra2, const char* user_name, const char* group_name,
                 uint32_t file_size, uint32_t transfer_time, uint32_t info1, uint32_t info2) {
  (void)state, (void)extra2, (void)group_name, (void)transfer_time, (void)info2;
  CHECK(extra1 == &stats_calls);
  CHECK(memcmp(user_name, "cuser", 6) == 0);
  CHECK(info1 == 42);
  stats_bytes += file_size;
  ++stats_calls;
}

static void write_text(const char* path, const char* text) {
  FILE* f = fopen(path, "wb");
  if (f == NULL) {
    ++failures;
    return;
  }
  fputs(text, f);
  fclose(f);
}

static long file_size_of(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

int main(void) {
  char dir[] = "/tmp/lapbook-c.XXXXXX";
  if (mkdtemp(dir) == NULL || chdir(dir) != 0) {
    perror("scratch directory");
    return 1;
  }

  const char* sfv = "; made by hand\r\nA.rar 0000000A\r\nb.r00 0000000b\r\nc.nfo 0000000c\r\n";
  write_text("rel.sfv", sfv);
  write_text("a.rar", "a");
  copysfv_file("rel.sfv", "sfvdata", (int64_t)strlen(sfv));
  CHECK(markers_made == 1);
  CHECK(access("b.r00-missing", F_OK) == 0);
  CHECK(file_size_of("rel.sfv") == 52 + 2 * 16);

  RaceLocations loc = {"leader", "sfvdata", "racedata", "rel", 3};
  RaceState st;
  memset(&st, 0, sizeof st);
  char user[LAPBOOK_NAME_FIELD_SIZE] = "cuser";
  st.user_name = user;
  strcpy(st.group_name, "cgroup");
  st.info1 = 42;

  st.file_name = "a.rar";
  CHECK(readsfv_file(&loc, &st, 1) == 0xa);
  CHECK(st.release_type == LAPBOOK_RELEASE_RAR);
  CHECK(st.sfv_file_count == 2 && st.missing_count == 1);

  st.file_size = 1000;
  writerace_file(&loc, &st, 0xa, LAPBOOK_STATUS_NOT_CHECKED);
  st.file_name = "b.r00";
  st.file_size = 24;
  write_text("b.r00", "b");
  writerace_file(&loc, &st, 0xbad, LAPBOOK_STATUS_NOT_CHECKED);
  CHECK(file_size_of("racedata") == 2 * (73 + 6));
  testfiles_file(&loc, &st);
  CHECK(access("b.r00", F_OK) != 0);
  CHECK(markers_made == 2);

  readrace_file(&loc, &st, &stats_calls, NULL);
  CHECK(stats_calls == 1 && stats_bytes == 1000);
  CHECK(st.bad_count == 1 && st.bad_size_total == 24);
  CHECK(clear_file_file(&loc, "A.RAR") == 0);

  create_indexfile_file(&loc, &st, "index");
  CHECK(file_size_of("index") == 6);

  char leader[LAPBOOK_NAME_FIELD_SIZE] = "cuser";
  read_write_leader_file(&loc, &st, leader);
  CHECK(st.leader[0] == 0);
  read_write_leader_file(&loc, &st, leader);
  CHECK(strcmp(st.leader, "cuser") == 0);

  delete_sfv_file(&loc);
  CHECK(access("b.r00-missing", F_OK) != 0);

  lapbook_set_data_root(dir);
  maketempdir(&loc);
  struct stat sb;
  CHECK(stat("rel", &sb) == 0 && S_ISDIR(sb.st_mode));

  const char* leftovers[] = {"rel.sfv", "a.rar", "sfvdata", "racedata", "index", "leader"};
  for (size_t i = 0; i < sizeof leftovers / sizeof leftovers[0]; ++i) unlink(leftovers[i]);
  rmdir("rel");
  if (chdir("/") != 0 || rmdir(dir) != 0) ++failures;

  if (failures == 0) printf("lapbook C test passed\n");
  return failures == 0 ? 0 : 1;
}
