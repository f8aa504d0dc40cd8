#include "ferrynet/session/client_table.h"

#include <algorithm>

namespace ferrynet {

ClientTable& client_table() {
  static ClientTable table;
  return table;
}

std::shared_ptr<Client> ClientTable::add() {
  MutexLock hold(lock_);
  std::shared_ptr<Client> c;
  try {
    c = std::make_shared<Client>();
    entries_.push_back(c);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return c;
}

void ClientTable::remove(const std::shared_ptr<Client>& c) {
  MutexLock hold(lock_);
  auto it = std::find(entries_.begin(), entries_.end(), c);
  if (it == entries_.end()) return;
  {
    std::lock_guard<std::mutex> client_hold(c->lock);
    c->client_conn.close();
    for (Connection& s : c->site_conn) s.close();
    c->client_ip.clear();
    c->ident_user.reset();
  }
  entries_.erase(it);
}

void ClientTable::end_all() {
  for (;;) {
    std::shared_ptr<Client> first;
    {
      MutexLock hold(lock_);
      if (entries_.empty()) return;
      first = entries_.front();
    }
    end_one(first);
  }
}

void ClientTable::end_one(const std::shared_ptr<Client>& c) {
  MutexLock hold(lock_);
  auto it = std::find(entries_.begin(), entries_.end(), c);
  if (it == entries_.end()) return;
  // The client thread may hold its own lock in a wait of up to ten seconds, so
  // it is not taken here: shutting the control connection down makes that
  // wait return at once, and the flag makes the thread leave without more work.
  c->ended.store(true);
  c->client_conn.shutdown_both();
  entries_.erase(it);
}

int ClientTable::count() {
  MutexLock hold(lock_);
  return static_cast<int>(entries_.size());
}

}  // namespace ferrynet
