#include "ferrynet/startup/daemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "ferrynet/core/config.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/net.h"
#include "ferrynet/core/tls_setup.h"
#include "ferrynet/relay/client_thread.h"
#include "ferrynet/session/admission.h"
#include "ferrynet/session/client_table.h"
#include "ferrynet/session/shared_state.h"
#include "ferrynet/session/site_health.h"
#include "ferrynet/startup/metrics_http.h"

namespace ferrynet {

namespace {

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

// What a new client's thread starts with: the thread start takes one
// pointer, so it travels in a heap box the thread frees.
struct ClientStart {
  std::shared_ptr<Client> client;
  uint16_t listen_port = 0;
  bool proxied = false;
};

void* client_thread_entry(void* arg) {
  std::unique_ptr<ClientStart> box(static_cast<ClientStart*>(arg));
  client_thread_main(box->client, box->listen_port, box->proxied);
  return nullptr;
}

// Every session costs descriptors, and the soft limit is often a quarter or
// less of what the system grants: take all of it. The limit in force.
uint64_t raise_descriptor_limit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur != lim.rlim_max) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(lim.rlim_cur);
}

void set_admission_limits(Config& cfg) {
  const uint64_t descriptors = raise_descriptor_limit();
  if (cfg.maxclients == 0) cfg.maxclients = clients_for_descriptors(descriptors, cfg.sitecount);
  log_line('i', "maxclients %u (descriptor limit %llu)\n", static_cast<unsigned>(cfg.maxclients),
           static_cast<unsigned long long>(descriptors));
  admission().set_limits(cfg.maxclients, cfg.maxclientsperip, cfg.logintimeout);
}

// Refused clients hear why at once; the write never waits, so a client that
// reads nothing cannot hold up the accept loop.
void refuse(Client& c, Verdict v) {
  const std::string_view line = refusal_line(v);
  c.client_conn.write_all(line, 0);
  // A close with unread bytes (a client that spoke first) resets the
  // connection, and the reset can overtake the line on the client's side.
  char unread[kSendLineMax];
  c.client_conn.read_some(unread, sizeof unread, 0);
  log_line('c', "refused client from %s port %d: %s\n", c.client_addr.host().c_str(),
           static_cast<int>(c.client_addr.port()), refusal_reason(v));
  if (Metrics* m = metrics_of(c)) m->refused(refusal_kind(v));
}

// The store shared with other instances, when `sharedstate` names one; its
// thread, like every other, starts after the fork.
std::unique_ptr<SharedState> share_state(const Config& cfg, SiteHealth& health) {
  if (!cfg.sharedstate) return nullptr;
  const std::optional<StoreAddress> where = parse_store_address(*cfg.sharedstate);
  if (!where) {
    log_line('e', "sharedstate: cannot read %s\n", cfg.sharedstate->c_str());
    shutdown_daemon();
  }
  log_line('i', "shared state in %s, prefix %s\n", cfg.sharedstate->c_str(), cfg.sharedstateprefix.c_str());
  return std::make_unique<SharedState>(*where, cfg.sharedstateprefix, cfg.sitecount, &health);
}

// The counts and their endpoint, when `metricsaddress` asks for them; a
// set address that cannot be served stops the start.
std::unique_ptr<MetricsEndpoint> serve_metrics(const Config& cfg, Services& services,
                                               std::unique_ptr<Metrics>& metrics) {
  if (!cfg.metricsaddress) return nullptr;
  metrics = std::make_unique<Metrics>(cfg.sitecount);
  EndpointSources from;
  from.metrics = metrics.get();
  from.health = services.health;
  from.shared = services.shared;
  from.degrade = cfg.sitedown == kSiteDownDegrade;
  from.sites = cfg.sitecount;
  from.max_clients = cfg.maxclients;
  std::string why;
  std::unique_ptr<MetricsEndpoint> endpoint = MetricsEndpoint::start(*cfg.metricsaddress, from, why);
  if (!endpoint) {
    log_line('e', "cannot serve metrics on %s: %s\n", cfg.metricsaddress->c_str(), why.c_str());
    shutdown_daemon();
  }
  log_line('i', "metrics on %s, port %u\n", cfg.metricsaddress->c_str(), static_cast<unsigned>(endpoint->port()));
  services.metrics = metrics.get();
  return endpoint;
}

}  // namespace

void write_pidfile(const char* path, pid_t pid) {
  FILE* f = std::fopen(path, "we");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot create pidfile %s: %s\n", path, std::strerror(errno));
    return;
  }
  std::fprintf(f, "%d", static_cast<int>(pid));
  std::fclose(f);
}

namespace {

// A second daemon that fails to bind must not take the running one's pid
// file with it: only a file that names this process goes.
void remove_own_pidfile(const char* path) {
  char text[32] = {};
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return;
  const size_t got = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  if (std::string_view(text, got) == std::to_string(::getpid())) ::unlink(path);
}

}  // namespace

void shutdown_daemon() {
  Config& cfg = config();
  log_line('i', "shutting ferrynet down.\n");
  client_table().end_all();
  close_log();
  if (cfg.pidfile) remove_own_pidfile(cfg.pidfile->c_str());
  // Client threads that were ended may still be on their way out; leaving
  // without running destructors keeps them from touching torn-down state.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(0);
}

void accept_loop(Listener& listener, const Services& services) {
  for (;;) {
    AcceptOutcome in = listener.accept(kAcceptWaitSeconds);
    if (in.status == AcceptStatus::kFailed) {
      log_line('e', "error occured while accepting a connection: %s\n", std::strerror(in.error));
      shutdown_daemon();
    }
    if (in.status == AcceptStatus::kNothing) continue;
    in.conn.send_without_delay();
    std::shared_ptr<Client> c = client_table().add();
    if (!c) {
      log_line('e', "cannot add new client\n");
      continue;  // the connection closes with `in`
    }
    {
      std::lock_guard<std::mutex> hold(c->lock);
      c->client_conn = std::move(in.conn);
      c->client_addr = in.peer;
      c->services = &services;
    }
    // A load balancer's connections are counted per host once its header
    // names the client, in the client's thread: waiting for it here would
    // hold up every arrival.
    const bool proxied = any_contains(config().proxyfrom, in.peer);
    // Answered here, before any thread, ident lookup or site connection is spent on it.
    const Verdict verdict = admission().admit(c, in.peer, !proxied);
    if (verdict != Verdict::kAdmitted) {
      refuse(*c, verdict);
      client_table().remove(c);  // closes its socket
      continue;
    }
    int err;
    {
      // Held across the start so the thread id is stored before the new
      // thread runs; taken later, the accept loop would wait for the client's
      // first relay pass (up to its 10-second wait) and stall every arrival.
      std::lock_guard<std::mutex> hold(c->lock);
      auto* box = new ClientStart{c, listener.port, proxied};
      err = pthread_create(&c->thread, nullptr, client_thread_entry, box);
      if (err != 0) delete box;
    }
    if (err != 0) {
      log_line('e', "cannot create new client thread: %s\n", std::strerror(err));
      admission().release(*c);
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
  if (cfg.pasvaddress) {
    // Bindable here, it is the machine's own; else the daemon is behind NAT.
    cfg.pasvaddress_local = create_listener(cfg.pasvaddress->c_str(), 0) != nullptr;
    log_line('i', "passive replies name %s, ports opened on %s\n", cfg.pasvaddress->c_str(),
             cfg.pasvaddress_local ? cfg.pasvaddress->c_str() : "the address each client reached");
  }
  if (cfg.pasvport_low != 0)
    log_line('i', "passive ports %u-%u\n", static_cast<unsigned>(cfg.pasvport_low),
             static_cast<unsigned>(cfg.pasvport_high));
  uint16_t port = static_cast<uint16_t>(cfg.port & 0xffff);
  std::unique_ptr<Listener> listener = create_listener(cfg.ip->c_str(), port);
  if (!listener) {
    log_line('e', "cannot bind to %s:%u\n", cfg.ip->c_str(), static_cast<unsigned>(port));
    shutdown_daemon();
  }
  log_line('i', "bound to %s, port %u\n", cfg.ip->c_str(), static_cast<unsigned>(listener->port));
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
  // In the serving process, and after the bound line the start-up output ends with.
  set_admission_limits(cfg);
  // Started only now: a thread would not survive the fork above.
  if (int err = admission().start_watchdog()) {
    log_line('e', "cannot create login watchdog thread: %s\n", std::strerror(err));
    shutdown_daemon();
  }
  // accept_loop never returns: what it is handed lives as long as any client.
  SiteHealth health(cfg.sitecount);
  Services services;
  services.health = &health;
  std::unique_ptr<SharedState> shared = share_state(cfg, health);
  services.shared = shared.get();
  std::unique_ptr<Metrics> metrics;
  // A thread of its own too, so started after the fork as well.
  std::unique_ptr<MetricsEndpoint> endpoint = serve_metrics(cfg, services, metrics);
  accept_loop(*listener, services);
}

}  // namespace ferrynet
