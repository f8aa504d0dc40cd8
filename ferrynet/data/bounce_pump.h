// One leg of a data bounce: a site's data connection and the client's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ferrynet/core/connection.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/data/listing_filter.h"
#include "ferrynet/data/merge_memory.h"
#include "ferrynet/data/seen_names.h"

namespace ferrynet {

// Whose lines a merge may judge now. A name that several sites hold must show
// the first site's line whichever site's read arrives first, so a leg judges
// its lines only once every earlier leg has passed its last one; until then
// it keeps what its site sends.
class LegTurns {
 public:
  explicit LegTurns(int legs) : legs_(legs) {}
  // The leg has judged and passed its last line, or has failed.
  void done(int leg);
  bool my_turn(int leg);
  // Until every earlier leg is done; each of them ends within its own data waits.
  void wait_turn(int leg);

 private:
  bool my_turn_held(int leg) const;  // the caller holds lock_
  std::mutex lock_;
  std::condition_variable changed_;
  const int legs_;
  bool done_[kMaxSites] = {};  // guarded by lock_
};

struct BouncePump {
  Connection* first = nullptr;   // the site's end with PASV, the client's with PORT
  Connection* second = nullptr;  // the other end
  // The client's end is shared by every leg; writes to it hold this lock so
  // that lines of different sites meet only at line boundaries.
  Connection* shared = nullptr;
  std::mutex* shared_write_lock = nullptr;
  SeenNames* seen = nullptr;
  const std::atomic<int>* kind = nullptr;  // the ListingKind; none: a long listing
  LegTurns* turns = nullptr;  // none: the leg's lines go out as they come
  int leg = 0;
  std::atomic<long long>* progress = nullptr;  // bytes passed on are added here when given
  // How the pump ended: the site's end reached its end of stream as it
  // should, every line passed on; or its protected stream stopped without a
  // close_notify, so the client must not take the listing for whole.
  bool whole = false;
  bool site_cut = false;
};

// Copies both ways until end of file or a failure on either end; closes nothing.
void run_pump(BouncePump& pump);

// Returned by copy_step when the bytes that woke this leg were taken by another.
inline constexpr int kCopyNothingYet = 1 << 30;

// A leg's memory, kept from step to step: the read and the batch of lines it
// leaves to write.
struct CopyBuffers {
  MergeBlock read;   // kCopyChunk bytes
  MergeBlock batch;  // kCopyChunk bytes; grows for a batch that needs more
                     // (never more than a held line and one read)
  size_t batch_len = 0;
  // False when the memory could not be had.
  bool make();
};

// What a site sent before its leg's turn, as it came: read straight into
// blocks that are judged, in order, once the turn comes.
struct HeldListing {
  struct Piece {
    MergeBlock block;
    size_t len = 0;
  };
  std::vector<Piece> pieces;
  size_t bytes = 0;
  bool full() const { return bytes >= kListingHoldMax; }
};

// One read of up to kCopyChunk bytes from `src`, passed through `filter` to
// `dst` in one write: the number of bytes read (or kCopyNothingYet); 0 at end
// of file, the unfinished last line passed on; -1 after a read or write
// failure, already logged, errno kept (ENOMEM, not logged, when memory for
// the read or its batch could not be had). The write holds `dst_lock` when given.
int copy_step(Connection& src, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, CopyBuffers& buffers);

// One read from `src` into `held`, passing nothing on: the bytes read (or
// kCopyNothingYet); 0 at end of file; -1 after a failure, logged but for
// ENOMEM.
int hold_step(Connection& src, HeldListing& held);
// Passes what `held` keeps through `filter` to `dst`, and empties it: false
// after a failure, logged but for ENOMEM.
bool pass_held(HeldListing& held, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, CopyBuffers& buffers);

}  // namespace ferrynet
