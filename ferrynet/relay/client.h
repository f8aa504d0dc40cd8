// One client's records: its connections, its relay state and its presence.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <pthread.h>
#include <vector>

#include "ferrynet/core/fd.h"
#include "ferrynet/core/limits.h"

namespace ferrynet {

struct Client {
  pthread_t thread{};
  std::mutex lock;  // held by the client thread over set-up and each relay pass
  Fd client_fd;
  sockaddr_in client_addr{};
  Fd site_fd[kMaxSites];
  sockaddr_in site_addr[kMaxSites]{};
  std::string client_ip;
  std::optional<std::string> ident_user;
  // Set when shutdown ends the client; its thread then leaves without touching shared state.
  std::atomic<bool> ended{false};
};

struct PresenceEntry {
  int shown_site = 0;
  int session_ids[kMaxSites] = {};
  PresenceEntry* prev = nullptr;
  PresenceEntry* next = nullptr;
};

struct RelayState {
  char cwd[kDirField] = "/";
  char new_dir[kDirField] = "";
  char last_command[kDirField] = "";
  int no_reply[kMaxSites] = {};
  int current_site = 0;
  PresenceEntry* presence = nullptr;  // owned; released by presence_unlink
  // The listing kind of the last bounce started, shared with it: the bounce
  // runs before the listing command that tells which kind it carries.
  std::shared_ptr<std::atomic<int>> listing_kind;
};

// The table of live clients, guarded by the global lock.
class ClientTable {
 public:
  // A new registered client, or none.
  std::shared_ptr<Client> add();
  // Called by the client's own thread when its session is over: closes its
  // sockets and drops it from the table. The caller's thread must then return.
  void remove(const std::shared_ptr<Client>& c);
  // Shutdown: ends every client, releasing the lock between two of them.
  void end_all();
  void end_one(const std::shared_ptr<Client>& c);
  int count();
  std::mutex& global_lock() { return lock_; }

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<Client>> entries_;
};

ClientTable& client_table();

// The logged-in sessions, with the ids each site gave them; its own lock.
void presence_insert(PresenceEntry* e);
// Unlinks (if linked) and releases the entry.
void presence_unlink(PresenceEntry* e);
bool presence_is_linked(const PresenceEntry* e);
// True when `id` on `site` is one of the daemon's own extra sessions:
// some logged-in entry shown on another site holds it for this site.
bool presence_hides(int site, int id);
// Entries linked now, for tests.
int presence_count();
// Replaces an entry's session ids under the list lock (a second login).
void presence_set_ids(PresenceEntry* e, const int* ids, int n);

}  // namespace ferrynet
