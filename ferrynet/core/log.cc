#include "ferrynet/core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "ferrynet/core/config.h"
#include "ferrynet/core/limits.h"

namespace ferrynet {

namespace {
std::mutex log_lock;  // guards config().logstream and one line at a time
}

int open_log(const char* path) {
  Config& cfg = config();
  const char* mode = cfg.logclean == 1 ? "w+e" : "ae";
  FILE* f = std::fopen(path ? path : "ferrynet.log", mode);
  if (f == nullptr) return 1;
  std::lock_guard<std::mutex> hold(log_lock);
  cfg.logstream = f;
  return 0;
}

int close_log() {
  std::lock_guard<std::mutex> hold(log_lock);
  Config& cfg = config();
  if (cfg.logstream) std::fclose(cfg.logstream);
  cfg.logstream = nullptr;
  return 0;
}

void log_line(char level, const char* format, ...) {
  const Config& cfg = config();
  if (!cfg.log || level == '\0' || cfg.log->find(level) == std::string::npos) return;
  char message[kLogMessageMax + 2] = {};
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, kLogMessageMax + 1, format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> hold(log_lock);
    if (cfg.logstream) {
      time_t now = std::time(nullptr);
      struct tm t {};
      localtime_r(&now, &t);
      std::fprintf(cfg.logstream, "[%02d%02d%02d.%02d:%02d:%02d] ", t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour,
                   t.tm_min, t.tm_sec);
      std::fflush(cfg.logstream);
      std::fputs(message, cfg.logstream);
      std::fflush(cfg.logstream);
    }
  }
  if (cfg.detached == 0) {
    std::fputs(message, stdout);
    std::fflush(stdout);
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char b = static_cast<unsigned char>(ch);
    switch (b) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20 || b == 0x7f) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", b);
          out += hex;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

}  // namespace ferrynet
