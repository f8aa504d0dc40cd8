// Time-stamped log lines under one-letter levels.
#pragma once

#include <string>
#include <string_view>

namespace ferrynet {

// Opens config().logfile (or "ferrynet.log"); 0 on success, 1 on failure.
int open_log(const char* path);
int close_log();
// Writes one line if `level` is among the configured letters. The message
// carries its own line end; it is never used as a format a second time.
void log_line(char level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A peer's bytes made safe for a terminal: control bytes, DEL and the
// backslash become C escapes, so an escape sequence a site sends cannot
// act on the operator's terminal.
std::string escaped(std::string_view text);

}  // namespace ferrynet
