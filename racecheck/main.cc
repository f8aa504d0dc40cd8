// racecheck: an example upload checker for one release directory, built on
// lapbook and blurbread.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lapbook/lapbook.h"
#include "racecheck/commands.h"
#include "racecheck/release.h"

namespace {

void usage(const char* program) {
  std::printf(
      "Usage: %s [--data-root DIR] RELEASE_DIR COMMAND [ARGUMENTS]\n"
      "Commands:\n"
      "  sfv FILE                          clean the uploaded SFV FILE, mark the missing files\n"
      "  upload FILE USER GROUP [SECONDS]  record an upload and check it against the SFV\n"
      "  check                             check every unchecked upload, show the race\n"
      "  index FILE                        write the sorted names of the good files to FILE\n"
      "  diz FILE                          show the disk count a description file announces\n"
      "The data root defaults to %s.\n",
      program, lapbook_data_root());
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--data-root") == 0) {
    lapbook_set_data_root(argv[i + 1]);
    i += 2;
  }
  if (argc - i < 2) {
    usage(argv[0]);
    return racecheck::kExitUsage;
  }
  const char* dir = argv[i];
  const std::string command = argv[i + 1];
  char** args = argv + i + 2;
  int nargs = argc - i - 2;

  // A description file is read where it is; it needs no release state.
  if (command == "diz" && nargs == 1) {
    std::string path = args[0][0] == '/' ? std::string(args[0]) : std::string(dir) + "/" + args[0];
    return racecheck::command_diz(path.c_str());
  }

  racecheck::Release release;
  std::string error;
  if (!release.open(dir, &error)) {
    std::fprintf(stderr, "racecheck: %s\n", error.c_str());
    return racecheck::kExitRejected;
  }
  if (command == "sfv" && nargs == 1) return racecheck::command_sfv(&release, args[0]);
  if (command == "upload" && (nargs == 3 || nargs == 4)) {
    double seconds = 1.0;
    if (nargs == 4) {
      char* end = nullptr;
      seconds = std::strtod(args[3], &end);
      if (end == args[3] || *end != 0 || !(seconds > 0)) {
        usage(argv[0]);
        return racecheck::kExitUsage;
      }
    }
    return racecheck::command_upload(&release, args[0], args[1], args[2], seconds);
  }
  if (command == "check" && nargs == 0) return racecheck::command_check(&release);
  if (command == "index" && nargs == 1) return racecheck::command_index(&release, args[0]);
  usage(argv[0]);
  return racecheck::kExitUsage;
}
