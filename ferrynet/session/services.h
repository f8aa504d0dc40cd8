// The subsystems made at start-up and handed to every session. Each
// member is optional: a null one means its key is not set, and the code that
// would use it carries on without it.
#pragma once

namespace ferrynet {

class Metrics;
class SharedState;
class SiteHealth;

struct Services {
  // Whether each site answers; made for every configuration.
  SiteHealth* health = nullptr;
  Metrics* metrics = nullptr;  // `metricsaddress`
  SharedState* shared = nullptr;  // `sharedstate`
};

}  // namespace ferrynet
