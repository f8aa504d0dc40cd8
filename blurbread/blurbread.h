/* blurbread: finds the number of disks a release's description file announces.
 *
 * Callable from C and C++. No routine reports errors: a file that cannot be
 * opened or read counts as one without a disk notation. */
#ifndef BLURBREAD_BLURBREAD_H
#define BLURBREAD_BLURBREAD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Entries of search. */
#define BLURBREAD_PATTERN_COUNT 16

/* Disk notations tried at every position, earlier entries first. In a
 * pattern "?" is any character, "!" a digit, "o" or "x", "#" a digit or a
 * blank that is kept for the disk count (three at most), "&c" any character
 * but c; everything else stands for itself. Letters are lower case because
 * the text is lower-cased before matching. */
extern const char* const search[BLURBREAD_PATTERN_COUNT];
extern const int32_t strings; /* BLURBREAD_PATTERN_COUNT */

/* Rewrites buffer[0..count) in place: every run of zero bytes, line feeds
 * and blanks becomes one blank, everything else is lower-cased, and a zero
 * byte follows the result. The buffer needs room for count + 1 bytes. */
void removespaces(char* buffer, int32_t count);

/* The disk count of the first notation in the file whose count is not 0,
 * or 0 when there is none. The file is read in 4096-byte pieces and each
 * piece is searched on its own, so a notation split between two pieces is
 * not found. */
int32_t read_diz(const char* path);

#ifdef __cplusplus
}
#endif

#endif
