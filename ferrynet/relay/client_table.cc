#include <sys/socket.h>

#include <algorithm>

#include "ferrynet/relay/client.h"

namespace ferrynet {

ClientTable& client_table() {
  static ClientTable table;
  return table;
}

std::shared_ptr<Client> ClientTable::add() {
  std::lock_guard<std::mutex> hold(lock_);
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
  std::lock_guard<std::mutex> hold(lock_);
  auto it = std::find(entries_.begin(), entries_.end(), c);
  if (it == entries_.end()) return;
  {
    std::lock_guard<std::mutex> client_hold(c->lock);
    c->client_fd.reset();
    for (Fd& s : c->site_fd) s.reset();
    c->client_ip.clear();
    c->ident_user.reset();
  }
  entries_.erase(it);
}

void ClientTable::end_all() {
  for (;;) {
    std::shared_ptr<Client> first;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (entries_.empty()) return;
      first = entries_.front();
    }
    end_one(first);
  }
}

void ClientTable::end_one(const std::shared_ptr<Client>& c) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = std::find(entries_.begin(), entries_.end(), c);
  if (it == entries_.end()) return;
  // The client thread may hold its own lock in a wait of up to ten seconds, so
  // it is not taken here: shutting the control socket down makes that wait
  // return at once, and the flag makes the thread leave without more work.
  c->ended.store(true);
  ::shutdown(c->client_fd.get(), SHUT_RDWR);
  entries_.erase(it);
}

int ClientTable::count() {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(entries_.size());
}

namespace {

std::mutex presence_lock;
PresenceEntry presence_sentinel;
PresenceEntry* presence_head = &presence_sentinel;

}  // namespace

void presence_insert(PresenceEntry* e) {
  std::lock_guard<std::mutex> hold(presence_lock);
  // A second login keeps the entry where it is: linking it again would make it its own neighbour.
  if (e->next != nullptr) return;
  e->next = presence_head;
  presence_head->prev = e;
  presence_head = e;
}

void presence_unlink(PresenceEntry* e) {
  if (e == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(presence_lock);
    if (e->next != nullptr) {
      if (e->prev) e->prev->next = e->next;
      e->next->prev = e->prev;
      if (presence_head == e) presence_head = e->next;
    }
  }
  delete e;
}

bool presence_is_linked(const PresenceEntry* e) {
  std::lock_guard<std::mutex> hold(presence_lock);
  return e->next != nullptr;
}

bool presence_hides(int site, int id) {
  if (site < 0 || site >= kMaxSites) return false;
  std::lock_guard<std::mutex> hold(presence_lock);
  for (PresenceEntry* e = presence_head; e->next != nullptr; e = e->next)
    if (e->shown_site != site && e->session_ids[site] == id) return true;
  return false;
}

int presence_count() {
  std::lock_guard<std::mutex> hold(presence_lock);
  int n = 0;
  for (PresenceEntry* e = presence_head; e->next != nullptr; e = e->next) ++n;
  return n;
}

void presence_set_ids(PresenceEntry* e, const int* ids, int n) {
  std::lock_guard<std::mutex> hold(presence_lock);
  for (int i = 0; i < n && i < kMaxSites; ++i) e->session_ids[i] = ids[i];
}

}  // namespace ferrynet
