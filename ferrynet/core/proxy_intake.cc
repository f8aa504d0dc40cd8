#include "ferrynet/core/proxy_intake.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ferrynet/core/log.h"

namespace ferrynet {

bool read_proxy_header(Connection& conn, const Address& peer, ProxyHeader& out) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kProxyHeaderSeconds);
  const std::string who = peer.host();
  const int port = peer.port();
  std::vector<uint8_t> buf;
  size_t have = 0;
  for (;;) {
    size_t needed = 0;
    const ProxyParse state = parse_proxy_header(buf.data(), have, needed, out);
    if (state == ProxyParse::kDone) return true;
    if (state == ProxyParse::kInvalid) {
      log_line('c', "malformed PROXY header from %s port %d, closing\n", who.c_str(), port);
      return false;
    }
    if (needed > kProxyV2Max || needed <= have) {
      log_line('c', "malformed PROXY header from %s port %d, closing\n", who.c_str(), port);
      return false;
    }
    buf.resize(needed);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Only the bytes the header still needs: the next one may be the client's.
    const long n = left > 0 ? conn.read_some(reinterpret_cast<char*>(buf.data() + have), needed - have,
                                             static_cast<int>(left))
                            : -1;
    if (n == 0) {
      log_line('c', "%s port %d closed before its PROXY header was complete\n", who.c_str(), port);
      return false;
    }
    if (n < 0) {
      if (left <= 0 || errno == EAGAIN)
        log_line('c', "no whole PROXY header from %s port %d within %d s, closing\n", who.c_str(), port,
                 kProxyHeaderSeconds);
      else
        log_line('c', "reading the PROXY header from %s port %d failed: %s\n", who.c_str(), port,
                 std::strerror(errno));
      return false;
    }
    have += static_cast<size_t>(n);
  }
}

}  // namespace ferrynet
