#ifndef RACECHECK_FILE_CRC_H
#define RACECHECK_FILE_CRC_H

#include <cstdint>

namespace racecheck {

// The CRC-32 of a whole file, as SFV files give it; false when it cannot be read.
bool file_crc32(const char* path, uint32_t* crc);

}  // namespace racecheck

#endif
