// The subsystems made once at start-up and handed to every session. Each
// member is optional: a null one means its key is not set, and the code that
// would use it carries on without it.
#pragma once

namespace ferrynet {

class Metrics;

struct Services {
  Metrics* metrics = nullptr;  // `metricsaddress`
};

}  // namespace ferrynet
