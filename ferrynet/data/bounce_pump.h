// One leg of a data bounce: a site's data connection and the client's.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "ferrynet/core/connection.h"
#include "ferrynet/data/listing_filter.h"
#include "ferrynet/data/merge_memory.h"
#include "ferrynet/data/seen_names.h"

namespace ferrynet {

struct BouncePump {
  Connection* first = nullptr;   // the site's end with PASV, the client's with PORT
  Connection* second = nullptr;  // the other end
  // The client's end is shared by every leg; writes to it hold this lock so
  // that lines of different sites meet only at line boundaries.
  Connection* shared = nullptr;
  std::mutex* shared_write_lock = nullptr;
  SeenNames* seen = nullptr;
  const std::atomic<int>* kind = nullptr;  // the ListingKind; none: a long listing
  long long moved = 0;  // bytes read from either end, set by run_pump
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

// One read of up to kCopyChunk bytes from `src`, passed through `filter` to
// `dst` in one write: the number of bytes read (or kCopyNothingYet); 0 at end
// of file, the unfinished last line passed on; -1 after a read or write
// failure, already logged, errno kept (ENOMEM, not logged, when memory for
// the read or its batch could not be had). The write holds `dst_lock` when given.
int copy_step(Connection& src, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, CopyBuffers& buffers);

}  // namespace ferrynet
