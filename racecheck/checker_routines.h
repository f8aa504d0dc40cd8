// The routines lapbook leaves to its linking program, as racecheck defines
// them for one release directory (the current directory). They are
// declared by lapbook/lapbook.h; this header adds racecheck's own pieces.
#ifndef RACECHECK_CHECKER_ROUTINES_H
#define RACECHECK_CHECKER_ROUTINES_H

#include <cstdint>
#include <string>

namespace racecheck {

// The marker create_missing makes for name: its lower-case form followed by
// "-missing", so markers from the SFV and from a bad upload agree.
std::string marker_name(const std::string& name);

// A name that may be looked up or marked in the release directory: not
// empty, no "/", not "." or "..". Names come from uploaded SFV files.
bool is_plain_name(const char* name, size_t length);

}  // namespace racecheck

#endif
