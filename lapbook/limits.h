// Fixed names and sizes of lapbook's files. Changing one changes what the
// linking checker and lapdump find on disk, so they live here, once.
#ifndef LAPBOOK_LIMITS_H
#define LAPBOOK_LIMITS_H

#include <cstddef>

namespace lapbook {

inline constexpr const char kDefaultDataRoot[] = "/ftp-data/tallyrace/";
inline constexpr const char kTempSfvName[] = ".tmpsfv";
inline constexpr const char kCleanedSfvHeader[] =
    "; sfv raped by tallyrace on the mighty Outpost\r\n; \r\n";
inline constexpr const char kIgnoredExtensions[] = ",diz,jpg,cue,m3u,nfo,sfv";
inline constexpr const char kMissingSuffix[] = "-missing";
inline constexpr size_t kSfvCrcChars = 8;
inline constexpr size_t kLeaderSize = 24;

// Modes as created; the process's file-creation mask still applies.
inline constexpr unsigned kTempSfvMode = 0755;
inline constexpr unsigned kDataFileMode = 0666;
inline constexpr unsigned kTempDirMode = 0777;

}  // namespace lapbook

#endif
