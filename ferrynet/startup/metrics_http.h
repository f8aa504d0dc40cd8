// The operator's HTTP endpoint (`metricsaddress`): GET /metrics and
// GET /health. The HTTP library serves it on a thread of its own; the pages
// are made from atomics and the shared site health, never from a lock a
// session holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ferrynet/core/metrics.h"

struct MHD_Daemon;

namespace ferrynet {

class SharedState;
class SiteHealth;

// What the pages are made from; everything outlives the endpoint.
struct EndpointSources {
  const Metrics* metrics = nullptr;
  const SiteHealth* health = nullptr;  // none: every site counts as up
  const SharedState* shared = nullptr;  // `sharedstate`
  int sites = 0;
  // `sitedown degrade`: one live site is enough for new sessions.
  bool degrade = false;
  uint32_t max_clients = 0;  // 0: no limit
};

struct HealthAnswer {
  int status = 200;  // or 503
  std::string body;  // one line
};

HealthAnswer health_answer(const EndpointSources& from);
std::string metrics_page(const EndpointSources& from);

class MetricsEndpoint {
 public:
  // Serves `address` ("host:port", "[v6]:port"; port 0: any free one). Null,
  // with the reason in `error`, when it cannot.
  static std::unique_ptr<MetricsEndpoint> start(const std::string& address, const EndpointSources& from,
                                                std::string& error);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  uint16_t port() const { return port_; }

 private:
  explicit MetricsEndpoint(const EndpointSources& from) : from_(from) {}

  const EndpointSources from_;
  MHD_Daemon* server_ = nullptr;  // stopped by the destructor
  uint16_t port_ = 0;
};

}  // namespace ferrynet
