#include "ferrynet/data/byte_copy.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/data/data_limits.h"

namespace ferrynet {

namespace {

// Logging may touch errno; the caller reports the failure's own.
long long failed(const char* format, int err) {
  log_line('e', format, std::strerror(err));
  errno = err;
  return -1;
}

constexpr const char* kReadFailed = "unexpected read() error occured in data bounce routine: %s\n";
constexpr const char* kWriteFailed = "unexpected write() error occured in data bounce routine: %s\n";

}  // namespace

long long copy_bytes(Connection& a, Connection& b) { return copy_bytes(a, b, CopyPath::kKernel); }

long long copy_bytes(Connection& a, Connection& b, CopyPath path) { return copy_bytes(a, b, path, nullptr, nullptr); }

long long copy_bytes(Connection& a, Connection& b, CopyPath path, CopyEnd* end, std::atomic<long long>* progress) {
  CopyEnd unused;
  if (end == nullptr) end = &unused;
  *end = CopyEnd{};
  long long moved = 0;
  if (path == CopyPath::kKernel) {
    Splicer splicer(a, b);
    if (splicer.ready()) {
      // A data connection on which nothing moves for the data wait ends.
      const Splicer::Outcome out = splicer.run(kDataWaitSeconds * 1000, kDataWaitSeconds * 1000, true, progress);
      switch (out.result) {
        case Splicer::Result::kEnd:
          end->whole = true;
          return out.bytes;
        case Splicer::Result::kLeft:
          return out.bytes;
        case Splicer::Result::kReadFailed:
          return failed(kReadFailed, errno);
        case Splicer::Result::kWriteFailed:
          return failed(kWriteFailed, errno ? errno : EPIPE);
        case Splicer::Result::kUnsupported:
          moved = out.bytes;  // all delivered; the rest goes through the buffer below
          break;
      }
    }
  }
  // On the heap: the pump thread's stack is not meant for a file's worth of chunk.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kRawChunk]);
  if (!buffer) {
    errno = ENOMEM;
    return -1;
  }
  Connection* ends[2] = {&a, &b};
  for (;;) {
    bool ready[2] = {};
    // A data connection on which nothing moves for the data wait ends.
    if (wait_any_readable(ends, 2, kDataWaitSeconds * 1000, ready) <= 0) return moved;
    Connection& from = ready[0] ? a : b;
    Connection& to = ready[0] ? b : a;
    long got = from.read_some(buffer.get(), kRawChunk, 0);
    // Security: an end without close_notify may be an attacker's cut; the
    // other side must not take what it got for the whole.
    if (got == 0 && !from.ended_cleanly()) {
      (&from == &b ? end->client_cut : end->site_cut) = true;
      return moved;
    }
    if (got == 0 && &from == &b) {
      // Only b's way ends: the other still carries what a sends.
      a.end_sending(kDataWaitSeconds * 1000);
      ends[1] = nullptr;
      continue;
    }
    if (got == 0) {
      end->whole = true;
      return moved;
    }
    if (got < 0 && errno == EAGAIN) continue;
    if (got < 0) return failed(kReadFailed, errno);
    if (!to.write_all(buffer.get(), static_cast<size_t>(got), kDataWaitSeconds * 1000)) {
      // A client that closed altogether rather than half (an abort) left: no
      // failure of ours, but the transfer is not whole.
      if (&to == &b && ends[1] == nullptr && (errno == EPIPE || errno == ECONNRESET)) return moved;
      return failed(kWriteFailed, errno ? errno : EPIPE);
    }
    moved += got;
    if (progress) progress->fetch_add(got, std::memory_order_relaxed);
  }
}

}  // namespace ferrynet
