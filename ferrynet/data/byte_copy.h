// A data connection carried unchanged: the transfers outside "/" when the
// daemon is to stand in the data path too.
#pragma once

#include <atomic>

#include "ferrynet/core/connection.h"

namespace ferrynet {

// How a copy ended, beyond its byte count; `a` is the site's end, `b` the client's.
struct CopyEnd {
  // a reached its end of stream as it should, every byte delivered: the
  // transfer is whole.
  bool whole = false;
  // A protected end stopped without its close_notify: what came from it may
  // be cut short, and the other end is to be reset, not ended.
  bool client_cut = false;
  bool site_cut = false;
};

// Copies every byte each way between `a` and `b` until a reaches end of
// file or either fails; closes nothing. End of file from b ends only b's
// way (a's sending side is shut then): a client that half-closes its data
// connection still gets the whole download. Returns the bytes moved, or -1 after a
// failure, logged, errno kept. Between plain sockets the kernel moves the
// bytes itself (splice through a pipe); otherwise they pass through a buffer.
long long copy_bytes(Connection& a, Connection& b);

// How copy_bytes moves the bytes: kKernel where the kernel allows (the
// default), kUserSpace always through a buffer (for tests of that path).
enum class CopyPath { kKernel, kUserSpace };
long long copy_bytes(Connection& a, Connection& b, CopyPath path);
// As above, telling how it ended in `end` and adding what it delivers to
// `progress` as it goes (either may be null).
long long copy_bytes(Connection& a, Connection& b, CopyPath path, CopyEnd* end, std::atomic<long long>* progress);

}  // namespace ferrynet
