// `velko serve`: runs the service until it is stopped.
#pragma once

#include <string>

namespace velko::serve {

struct ServeOptions {
    std::string config;                 // the TOML file
    int simulate = 0;                   // simulated devices instead of a configuration
    std::string listen, data, webRoot;  // override the configuration when not empty
};

// The exit status: 0 after a stop by SIGINT or SIGTERM, 2 for a configuration with faults,
// 1 when the service could not start.
int runServe(const ServeOptions& options);

}  // namespace velko::serve
