#include "ferrynet/core/daemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ferrynet/core/config.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/core/tls_setup.h"
#include "ferrynet/relay/client.h"
#include "ferrynet/relay/client_thread.h"

namespace ferrynet {

namespace {

sockaddr_in listen_address{};  // guarded by the global lock

void ignore_signal(int) {}

// Started with a standard stream closed, the daemon would hand that number to
// its log or a socket, and the echo on standard output would land there.
void fill_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

void print_usage() {
  std::printf("usage: ferrynet [configuration file]\n"
              "  reads ferrynet.conf in the working directory when no file is named\n");
}

// The thread start takes one pointer; the client travels in a heap box the thread frees.
void* client_thread_entry(void* arg) {
  std::unique_ptr<std::shared_ptr<Client>> box(static_cast<std::shared_ptr<Client>*>(arg));
  client_thread_main(*box);
  return nullptr;
}

}  // namespace

sockaddr_in copy_listen_address() {
  std::lock_guard<std::mutex> hold(client_table().global_lock());
  return listen_address;
}

void write_pidfile(const char* path, pid_t pid) {
  FILE* f = std::fopen(path, "we");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot create pidfile %s: %s\n", path, std::strerror(errno));
    return;
  }
  std::fprintf(f, "%d", static_cast<int>(pid));
  std::fclose(f);
}

void shutdown_daemon() {
  Config& cfg = config();
  log_line('i', "shutting ferrynet down.\n");
  client_table().end_all();
  close_log();
  if (cfg.pidfile) ::unlink(cfg.pidfile->c_str());
  // Client threads that were ended may still be on their way out; leaving
  // without running destructors keeps them from touching torn-down state.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

void accept_loop(int listen_fd) {
  for (;;) {
    sockaddr_in peer{};
    int fd = accept_timed(listen_fd, &peer, kAcceptWaitSeconds);
    if (fd < 0) {
      log_line('e', "error occured while accepting a connection: %s\n", std::strerror(errno));
      shutdown_daemon();
    }
    if (fd == 0) continue;
    Fd accepted(fd);
    send_without_delay(accepted.get());
    std::shared_ptr<Client> c = client_table().add();
    if (!c) {
      log_line('e', "cannot add new client\n");
      continue;  // `accepted` closes the connection
    }
    int err;
    {
      // Held across the start so the thread id is stored before the new
      // thread runs; taken later, the accept loop would wait for the client's
      // first relay pass (up to its 10-second wait) and stall every arrival.
      std::lock_guard<std::mutex> hold(c->lock);
      c->client_fd = std::move(accepted);
      c->client_addr = peer;
      auto* box = new std::shared_ptr<Client>(c);
      err = pthread_create(&c->thread, nullptr, client_thread_entry, box);
      if (err != 0) delete box;
    }
    if (err != 0) {
      log_line('e', "cannot create new client thread: %s\n", std::strerror(err));
      client_table().remove(c);  // closes its socket
    }
  }
}

int run_daemon(int argc, char** argv) {
  fill_standard_streams();
  signal(SIGPIPE, ignore_signal);
  std::printf("ferrynet - one FTP site in front of several\n");
  if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--help") == 0)) {
    print_usage();
    return 1;
  }
  Config& cfg = config();
  if (read_config(argc == 2 ? argv[1] : "ferrynet.conf", cfg) != 0) return 1;
  if (!check_config(cfg)) {
    std::fprintf(stderr, "unuseable configuration file, exiting.\n");
    return 1;
  }
  if (load_tls_contexts(cfg) != 0) return 1;
  if (open_log(cfg.logfile ? cfg.logfile->c_str() : nullptr) != 0) {
    std::fprintf(stderr, "cannot open logfile\n");
    return 1;
  }
  log_line('i', "ferrynet activated.\n");
  log_line('i', "using %s to bind to\n", cfg.ip->c_str());
  log_tls_settings(cfg);
  uint16_t port = static_cast<uint16_t>(cfg.port & 0xffff);
  std::unique_ptr<Listener> listener = create_listener(cfg.ip->c_str(), port);
  if (!listener) {
    log_line('e', "cannot bind to %s:%u\n", cfg.ip->c_str(), static_cast<unsigned>(port));
    shutdown_daemon();
  }
  log_line('i', "bound to %s, port %u\n", cfg.ip->c_str(), static_cast<unsigned>(listener->port));
  {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(listener->fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      log_line('e', "cannot get socket name: %s\n", std::strerror(errno));
      shutdown_daemon();
    }
    std::lock_guard<std::mutex> hold(client_table().global_lock());
    listen_address = local;
  }
  if (cfg.fork == 1) {
    cfg.detached = 1;
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child < 0) {
      log_line('e', "cannot fork into the background: %s\n", std::strerror(errno));
      shutdown_daemon();
    }
    if (child > 0) {
      cfg.pid = child;
      if (cfg.pidfile) write_pidfile(cfg.pidfile->c_str(), child);
      _exit(0);
    }
  } else if (cfg.pidfile) {
    cfg.pid = ::getpid();
    write_pidfile(cfg.pidfile->c_str(), cfg.pid);
  }
  accept_loop(listener->fd.get());
}

}  // namespace ferrynet
