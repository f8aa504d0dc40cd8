#include "ferrynet/session/presence.h"

#include "ferrynet/core/mutex.h"

namespace ferrynet {

namespace {

struct PresenceList {
  Mutex lock;
  PresenceEntry sentinel;
  PresenceEntry* head GUARDED_BY(lock) = &sentinel;
};

PresenceList& presence() {
  static PresenceList list;
  return list;
}

}  // namespace

void presence_insert(PresenceEntry* e) {
  PresenceList& p = presence();
  MutexLock hold(p.lock);
  // A second login keeps the entry where it is: linking it again would make it its own neighbour.
  if (e->next != nullptr) return;
  e->next = p.head;
  p.head->prev = e;
  p.head = e;
}

void presence_unlink(PresenceEntry* e) {
  if (e == nullptr) return;
  {
    PresenceList& p = presence();
    MutexLock hold(p.lock);
    if (e->next != nullptr) {
      if (e->prev) e->prev->next = e->next;
      e->next->prev = e->prev;
      if (p.head == e) p.head = e->next;
    }
  }
  delete e;
}

bool presence_is_linked(const PresenceEntry* e) {
  PresenceList& p = presence();
  MutexLock hold(p.lock);
  return e->next != nullptr;
}

bool presence_hides(int site, int id) {
  if (site < 0 || site >= kMaxSites) return false;
  PresenceList& p = presence();
  MutexLock hold(p.lock);
  for (PresenceEntry* e = p.head; e->next != nullptr; e = e->next)
    if (e->shown_site != site && e->session_ids[site] == id) return true;
  return false;
}

int presence_count() {
  PresenceList& p = presence();
  MutexLock hold(p.lock);
  int n = 0;
  for (PresenceEntry* e = p.head; e->next != nullptr; e = e->next) ++n;
  return n;
}

void presence_set_ids(PresenceEntry* e, const int* ids, int n, int shown_site) {
  PresenceList& p = presence();
  MutexLock hold(p.lock);
  e->shown_site = shown_site;
  for (int i = 0; i < n && i < kMaxSites; ++i) e->session_ids[i] = ids[i];
}

}  // namespace ferrynet
