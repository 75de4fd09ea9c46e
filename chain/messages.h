// The chain's messages as they come from the broker: JSON from another program, bounded as
// anything from the network is before it is read.
#pragma once

#include <optional>
#include <string>

#include "http/untrusted_json.h"

namespace velko::chain {

// A price list of every article a device holds is the largest message there is.
constexpr http::JsonLimits kMessageLimits{32u << 20, 32};

// The message's JSON, or nothing with the reason in `error`.
inline std::optional<nlohmann::ordered_json> readMessage(const std::string& payload,
                                                         std::string& error) {
    return http::parseUntrusted(payload, error, kMessageLimits);
}

}  // namespace velko::chain
