// Any bytes as the start of a load balancer's connection: the parser stays
// inside them and never asks for more than the header it finally reads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ferrynet/core/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  // As the daemon reads: only what the parser asks for, as long as the input lasts.
  size_t have = 0, needed = 0;
  ferrynet::ProxyHeader h;
  for (;;) {
    ferrynet::ProxyParse r = ferrynet::parse_proxy_header(exact.get(), have, needed, h);
    if (r == ferrynet::ProxyParse::kInvalid) return 0;
    if (r == ferrynet::ProxyParse::kDone) {
      if (needed > have) std::abort();
      if (h.has_addresses && (!h.source.valid() || h.source.family() != h.destination.family())) std::abort();
      // The same bytes with more after them read the same header.
      size_t again = 0;
      ferrynet::ProxyHeader h2;
      if (ferrynet::parse_proxy_header(exact.get(), size, again, h2) != r || again != needed) std::abort();
      return 0;
    }
    if (needed <= have || needed > ferrynet::kProxyV2Max) std::abort();
    if (needed > size) return 0;
    have = needed;
  }
}
