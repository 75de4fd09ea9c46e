// What the service and head office alike let one client hold and send: connections, time, and
// the size of a request's head; and the names they may be reached by. Read from either
// program's configuration by readFront (http/toml_reader.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velko::http {

struct ConnectionLimits {
    size_t threads = 64;     // requests (and event streams) served at once
    size_t perAddress = 32;  // connections one address may hold open
    int headerSeconds = 10;  // a request's line and headers arrive within this
    long bodyFloor = 16384;  // bytes a second a body arrives at, at least (after headerSeconds)
    // A request's head (its line and headers) holds at most so many headers and bytes; a
    // larger one is answered 431 and nothing of it is kept.
    size_t maxHeaders = 100;
    size_t maxHeaderBytes = 64 << 10;
};

// The settings of a program's HTTP front that its configuration file gives.
struct Front {
    ConnectionLimits limits;
    std::vector<std::string> allowedHosts;  // names it is reached by beside its addresses
};

}  // namespace velko::http
