// Fixed sizes and time limits of the daemon. They are not settings: changing
// one changes what peers and stored files see, so they live here, once.
#pragma once

#include <cstddef>

namespace ferrynet {

inline constexpr int kMaxSites = 3;              // site connections a client can hold
inline constexpr int kSliceSize = 16384;         // client buffer and per-site reply slice
inline constexpr int kSendLineMax = 1024;        // characters send_line puts on the wire
inline constexpr int kLogMessageMax = 1023;      // characters of one log message
inline constexpr int kDirField = 256;            // cwd, new_dir, last_command
inline constexpr int kMaxSections = 64;          // `section` lines
// "/NAME" and its end must fit a directory field.
inline constexpr int kSectionNameMax = kDirField - 2;
inline constexpr int kConfigLineBuffer = 256;
inline constexpr int kConfigLineMax = 253;       // longer lines arrive in pieces
inline constexpr int kAcceptWaitSeconds = 20;
inline constexpr int kRelayWaitSeconds = 10;
inline constexpr int kIdentSeconds = 15;         // connect, and again for the answer
inline constexpr int kIdentPort = 113;
inline constexpr int kIdentLineSize = 511;
inline constexpr int kIdentUserMax = 255;
inline constexpr int kReadLineByteWaitSeconds = 180;
// A peer that takes none of a control line for this long is gone.
inline constexpr int kControlWriteSeconds = 180;
inline constexpr int kTlsHandshakeSeconds = 30;  // a client or site that stops mid-handshake
inline constexpr int kTlsCloseMs = 1000;  // sending a close_notify, never waiting for the answer
// A peer's certificate names quoted in the log: enough to tell which, bounded.
inline constexpr size_t kPeerTextMax = 512;
// Raw TLS bytes taken from the socket per read: several records per system
// call on a bulk transfer. Released whenever it runs empty.
inline constexpr int kTlsReadAheadBytes = 128 * 1024;
// Records written by one write_all() leave in sends of up to this much: on
// loopback, larger segments cost the sender and the reader less per byte.
inline constexpr int kTlsSendGatherBytes = 128 * 1024;
inline constexpr int kDataFinishMs = 5000;       // a data peer's own close after ours
inline constexpr int kDataWaitSeconds = 180;     // each data connect and accept
// Each way of a spliced copy goes through a pipe this large, when the system
// grants it (else through its default 64 KiB): more bytes per system call.
inline constexpr int kSplicePipeBytes = 1 << 20;
// Clients arriving in a burst (after a site restart, say) overflow a short
// queue; their connections then look open to them but were never accepted.
inline constexpr int kListenBacklog = 4096;
inline constexpr int kAcceptShortagePauseMs = 100;  // after accept() finds no free descriptor
inline constexpr int kHostNameBuffer = 255;

// Defaults of the admission and time-out settings (0 in the file means none).
inline constexpr int kDefaultLoginSeconds = 60;
inline constexpr int kDefaultReplySeconds = 60;
inline constexpr int kDefaultClientsPerHost = 0;  // no limit, as the sites themselves default
// Descriptors a default `maxclients` leaves to the daemon itself: standard
// streams, log, listener, pid file, and slack for accepts in flight.
inline constexpr int kReservedDescriptors = 32;
// A client told its login time is over but still there this much later (its
// thread stuck writing to a client that reads nothing) has its control
// connection cut without the 421 line.
inline constexpr int kLoginShedGraceSeconds = 5;
// The login watchdog's longest sleep when no deadline is pending.
inline constexpr int kWatchdogIdleSeconds = 60;

}  // namespace ferrynet
