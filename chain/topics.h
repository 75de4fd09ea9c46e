// The chain's topics: everything of a shop lives under velko/STORE/.
#pragma once

#include <string>

namespace velko::chain {

// A shop's presence: "online", or "offline" as its last will.
inline std::string statusTopic(const std::string& store) {
    return "velko/" + store + "/status";
}

// A device's report of a business day.
inline std::string dayReportTopic(const std::string& store, const std::string& device,
                                  const std::string& businessDay) {
    return "velko/" + store + "/" + device + "/closeday/" + businessDay;
}

}  // namespace velko::chain
