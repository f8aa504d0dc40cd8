// Commands that name a path go to the site that holds it: a section's site
// for a path into a section, wherever the client stands; for a file at the
// root level, the first site in order that has it (reads, and changes of an
// existing name), else the current site.
#pragma once

#include <string>
#include <string_view>

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// RETR, and the commands that read a file (SIZE, MDTM, MLST).
CommandResult fetch_command(Session& s, std::string_view line);
CommandResult read_command(Session& s, std::string_view line);
// STOR, APPE, STOU: at the root a transfer of one site.
CommandResult store_command(Session& s, std::string_view line);
// PRET: the announcement of a transfer goes where the transfer will.
CommandResult pre_transfer_command(Session& s, std::string_view line);
// DELE, RNFR, MKD, RMD, MFMT, SITE CHMOD and the like.
CommandResult change_command(Session& s, std::string_view line);
// The whole answer of the site asked whether it holds a name a change
// command names: the command goes there, or the next site is asked.
void holder_answered(Session& s, bool holds);
// RNTO: where its RNFR went.
CommandResult rename_to_command(Session& s, std::string_view line);
// REST at the root: kept for the site the transfer goes to.
CommandResult rest_command(Session& s, std::string_view line);
// LIST, NLST, MLSD: at "/" a merged listing, or the section's site alone
// when the path leads into a section.
CommandResult listing_command(Session& s, std::string_view line);

struct PathTarget {
  bool named = false;   // the command names a path at all
  std::string absolute;  // resolved against the cwd
  int section_site = -1;  // the site of the section it leads into, or -1
  size_t offset = 0;  // where the path starts in the line
};

// The path a command line names, after `skip` words (SITE CHMOD's mode) and
// options that start with '-'.
PathTarget path_target(const char* cwd, std::string_view line, int skip_words, int sites);

}  // namespace ferrynet
