#include "ferrynet/core/tls_setup.h"

#include <cstdio>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"

namespace ferrynet {

namespace {

// Written only by load_tls_contexts() during start-up.
TlsContexts& contexts() {
  static TlsContexts instance;
  return instance;
}

bool given(const Text& t) { return t && !t->empty(); }

}  // namespace

const TlsContexts& tls_contexts() { return contexts(); }

int load_tls_contexts(const Config& cfg) {
  std::string error;
  if (cfg.clienttls != kClientTlsNo) {
    if (!given(cfg.tlscertfile) || !given(cfg.tlskeyfile)) {
      std::fprintf(stderr, "clienttls needs tlscertfile and tlskeyfile\n");
      return 1;
    }
    contexts().for_clients = TlsContext::server(*cfg.tlscertfile, *cfg.tlskeyfile, error);
    if (!contexts().for_clients) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  if (cfg.sitetls) {
    contexts().for_sites = TlsContext::client(given(cfg.sitetlsca) ? *cfg.sitetlsca : "", error, TlsVersionCap::tls13,
                                              "sitetlsca");
    if (!contexts().for_sites) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  } else if (given(cfg.sitetlsca) && !TlsContext::client(*cfg.sitetlsca, error)) {
    // Unused today, but a bundle that cannot be read would only be found on
    // the day `sitetls` is turned on.
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}

void log_tls_settings(const Config& cfg) {
  if (cfg.sitetls && !given(cfg.sitetlsca))
    log_line('i', "sitetlsca is not set: the sites' TLS certificates are not verified\n");
}

}  // namespace ferrynet
