// A data connection carried unchanged: the transfers outside "/" when the
// daemon is to stand in the data path too.
#pragma once

#include "ferrynet/core/connection.h"

namespace ferrynet {

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

}  // namespace ferrynet
