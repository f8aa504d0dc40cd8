/* An upload checker in miniature, built only from the installed header and
 * the flags pkg-config gives: records two uploads of one name and a bad
 * one, then reads the race data back. */
#include <stdio.h>
#include <string.h>

#include <lapbook/lapbook.h>

static int stats_calls;
static uint32_t stats_size;

int findfile(const char* name) { (void)name; return 1; }
void create_missing(const char* name, int16_t length) { (void)name; (void)length; }
int16_t strcomp(const char* list, const char* extension) { (void)list; (void)extension; return 0; }
uint32_t hexstrtodec(const char* text) { (void)text; return 0; }
uint8_t israr(const char* extension) { (void)extension; return 0; }
int isvideo(const char* extension) { (void)extension; return 0; }
void updatestats(RaceState* state, void* extra1, void* extra2, const char* user_name, const char* group_name,
                 uint32_t file_size, uint32_t transfer_time, uint32_t info1, uint32_t info2) {
  (void)state; (void)extra1; (void)extra2; (void)user_name; (void)group_name;
  (void)transfer_time; (void)info1; (void)info2;
  ++stats_calls;
  stats_size += file_size;
}

static void upload(RaceLocations* where, RaceState* state, const char* name, uint32_t size, uint8_t status) {
  state->file_name = name;
  state->file_size = size;
  state->transfer_time = 1;
  writerace_file(where, state, 0x1234abcdu, status);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char user[LAPBOOK_NAME_FIELD_SIZE] = "alice";
  RaceLocations where;
  memset(&where, 0, sizeof where);
  where.race_data_path = argv[1];
  RaceState state;
  memset(&state, 0, sizeof state);
  state.user_name = user;
  strcpy(state.group_name, "racers");

  upload(&where, &state, "a.rar", 100, LAPBOOK_STATUS_NOT_CHECKED);
  upload(&where, &state, "a.rar", 200, LAPBOOK_STATUS_NOT_CHECKED);
  upload(&where, &state, "b.rar", 300, LAPBOOK_STATUS_BAD);
  int cleared_other_case = clear_file_file(&where, "A.RAR");
  readrace_file(&where, &state, NULL, NULL);
  printf("stats %d %u bad %u %u cleared %d\n", stats_calls, stats_size, (unsigned)state.bad_count,
         state.bad_size_total, cleared_other_case);
  return 0;
}
