/* lapbook: per-release race bookkeeping for an upload checker.
 *
 * Callable from C and C++. The linking program owns both records below and
 * passes them to every routine. No routine reports errors: a file that
 * cannot be opened makes it return at once. Binary files are little-endian
 * and the same on every platform. The routines take no locks; two calls on
 * one release at the same time must be serialised by the caller. */
#ifndef LAPBOOK_LAPBOOK_H
#define LAPBOOK_LAPBOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the user, group and leader fields; they are copied whole. */
#define LAPBOOK_NAME_FIELD_SIZE 24

/* Status byte of a race data record. */
#define LAPBOOK_STATUS_DELETED 0
#define LAPBOOK_STATUS_OK 1
#define LAPBOOK_STATUS_NOT_CHECKED 2
#define LAPBOOK_STATUS_CALLER 253
#define LAPBOOK_STATUS_BAD 255

/* Release type in the SFV data file header. */
#define LAPBOOK_RELEASE_WRITING 0
#define LAPBOOK_RELEASE_RAR 1
#define LAPBOOK_RELEASE_OTHER 2
#define LAPBOOK_RELEASE_MP3 3
#define LAPBOOK_RELEASE_VIDEO 4

typedef struct RaceLocations {
  const char* leader_path;
  const char* sfv_data_path;
  const char* race_data_path;
  const char* release_path;    /* mirrored below the data root by maketempdir */
  int32_t release_path_length; /* characters of release_path */
} RaceLocations;

typedef struct RaceState {
  uint32_t info1; /* stored in each record and handed back unchanged */
  uint32_t info2;
  const char* user_name; /* points at LAPBOOK_NAME_FIELD_SIZE bytes */
  char group_name[LAPBOOK_NAME_FIELD_SIZE];
  const char* file_name;
  uint32_t transfer_time;
  uint32_t file_size;
  uint8_t sfv_file_count; /* SFV entries counted by readsfv_file */
  int16_t missing_count;  /* of those, the ones whose file is absent */
  uint8_t bad_count;      /* status BAD records seen by readrace_file */
  uint8_t status253_seen;
  uint32_t bad_size_total;
  char leader[LAPBOOK_NAME_FIELD_SIZE]; /* previous leader; first byte 0 if none */
  uint16_t release_type;
} RaceState;

/* Race data file. */
void readrace_file(RaceLocations* locations, RaceState* state, void* extra1, void* extra2);
void writerace_file(RaceLocations* locations, RaceState* state, uint32_t crc, uint8_t status);
int clear_file_file(RaceLocations* locations, const char* name);

/* Leader file: hands back the previous 24 bytes in state->leader and
 * stores the 24 bytes at new_leader. */
void read_write_leader_file(RaceLocations* locations, RaceState* state, const char* new_leader);

/* Creates every missing level of the data root followed by release_path. */
void maketempdir(RaceLocations* locations);

/* The data root maketempdir mirrors release paths below; it defaults to
 * "/ftp-data/tallyrace/". A root without a final "/" gets one. The text is
 * not copied and must stay valid; NULL restores the default. Set it before
 * any other call, not while one runs. */
void lapbook_set_data_root(const char* root);
const char* lapbook_data_root(void);

/* SFV files. copysfv_file writes ".tmpsfv" in the current directory and
 * testfiles_file deletes bad uploads there. */
void copysfv_file(const char* sfv_path, const char* sfv_data_path, int64_t sfv_size);
uint32_t readsfv_file(RaceLocations* locations, RaceState* state, int count_absent);
void testfiles_file(RaceLocations* locations, RaceState* state);
void delete_sfv_file(RaceLocations* locations);
void create_indexfile_file(RaceLocations* locations, RaceState* state, const char* index_path);

/* Routines the linking program must define. File names are lower case as
 * the SFV data file stores them. */
int findfile(const char* name);                          /* non-zero if present */
void create_missing(const char* name, int16_t length);   /* mark name[0..length) missing */
int16_t strcomp(const char* list, const char* extension); /* extension in ",a,b,.." */
uint32_t hexstrtodec(const char* text);                  /* 0: no usable CRC */
uint8_t israr(const char* extension);
int isvideo(const char* extension);
/* Called by readrace_file for each record with status OK or not checked,
 * in file order; user_name and group_name point at 24 bytes valid only
 * during the call. */
void updatestats(RaceState* state, void* extra1, void* extra2, const char* user_name,
                 const char* group_name, uint32_t file_size, uint32_t transfer_time,
                 uint32_t info1, uint32_t info2);

#ifdef __cplusplus
}
#endif

#endif
