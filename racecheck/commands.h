// racecheck's commands on an open release. Each prints what it did for the
// operator and returns the program's exit status.
#ifndef RACECHECK_COMMANDS_H
#define RACECHECK_COMMANDS_H

#include "racecheck/release.h"

namespace racecheck {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRejected = 1;  // a bad upload, a file that is not there
inline constexpr int kExitUsage = 2;

int command_sfv(Release* release, const char* sfv_name);
int command_upload(Release* release, const char* file_name, const char* user, const char* group, double seconds);
int command_check(Release* release);
int command_index(Release* release, const char* index_path);
int command_diz(const char* diz_path);

}  // namespace racecheck

#endif
