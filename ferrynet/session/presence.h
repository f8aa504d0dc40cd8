// The logged-in sessions, with the ids each site gave them; its own lock.
#pragma once

#include "ferrynet/core/limits.h"

namespace ferrynet {

struct PresenceEntry {
  int shown_site = 0;
  int session_ids[kMaxSites] = {};
  PresenceEntry* prev = nullptr;
  PresenceEntry* next = nullptr;
};

void presence_insert(PresenceEntry* e);
// Unlinks (if linked) and releases the entry.
void presence_unlink(PresenceEntry* e);
bool presence_is_linked(const PresenceEntry* e);
// True when `id` on `site` is one of the daemon's own extra sessions:
// some logged-in entry shown on another site holds it for this site.
bool presence_hides(int site, int id);
// Entries linked now, for tests.
int presence_count();
// Replaces an entry's session ids (indexed by configured site) and the site
// its client is shown, under the list lock (a second login).
void presence_set_ids(PresenceEntry* e, const int* ids, int n, int shown_site = 0);

}  // namespace ferrynet
