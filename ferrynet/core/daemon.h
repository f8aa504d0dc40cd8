// Start-up, the accept loop and the orderly shutdown.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

namespace ferrynet {

// Runs the daemon from its command line; returns only the exit status of an
// early failure (every later end goes through shutdown_daemon).
int run_daemon(int argc, char** argv);
void write_pidfile(const char* path, pid_t pid);
[[noreturn]] void accept_loop(int listen_fd);
[[noreturn]] void shutdown_daemon();
// The listening socket's local address, copied under the global lock.
sockaddr_in copy_listen_address();

}  // namespace ferrynet
