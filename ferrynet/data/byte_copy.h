// A data connection carried unchanged: the transfers outside "/" when the
// daemon is to stand in the data path too.
#pragma once

#include "ferrynet/core/connection.h"

namespace ferrynet {

// Copies every byte each way between `a` and `b` until end of file or a
// failure on either; closes nothing. Returns the bytes moved, or -1 after a
// failure, logged, errno kept.
long long copy_bytes(Connection& a, Connection& b);

}  // namespace ferrynet
