// The table of live clients, guarded by the global lock.
#pragma once

#include <memory>
#include <vector>

#include "ferrynet/core/mutex.h"
#include "ferrynet/session/client.h"

namespace ferrynet {

class ClientTable {
 public:
  // A new registered client, or none.
  std::shared_ptr<Client> add() EXCLUDES(lock_);
  // Called by the client's own thread when its session is over: closes its
  // connections and drops it from the table. The caller's thread must then return.
  void remove(const std::shared_ptr<Client>& c) EXCLUDES(lock_);
  // Shutdown: ends every client, releasing the lock between two of them.
  void end_all() EXCLUDES(lock_);
  void end_one(const std::shared_ptr<Client>& c) EXCLUDES(lock_);
  int count() EXCLUDES(lock_);

 private:
  Mutex lock_;
  std::vector<std::shared_ptr<Client>> entries_ GUARDED_BY(lock_);
};

ClientTable& client_table();

}  // namespace ferrynet
