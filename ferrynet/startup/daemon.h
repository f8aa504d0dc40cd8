// Start-up, the accept loop and the orderly shutdown.
#pragma once

#include <sys/types.h>

#include "ferrynet/core/net.h"
#include "ferrynet/session/services.h"

namespace ferrynet {

// Runs the daemon from its command line; returns only the exit status of an
// early failure (every later end goes through shutdown_daemon).
int run_daemon(int argc, char** argv);
void write_pidfile(const char* path, pid_t pid);
[[noreturn]] void accept_loop(Listener& listener, const Services& services);
[[noreturn]] void shutdown_daemon();

}  // namespace ferrynet
