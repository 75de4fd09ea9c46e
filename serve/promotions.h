// Promotions: prices that change on a set of devices at a set time and come back at the end.
// At the start the service syncs the promotion's articles (their names and prices only); at the
// end it restores each article's price from before, unless someone changed it meanwhile. A
// start or end that fell while the service was stopped runs at its next start, while the
// promotion is still current.
#pragma once

#include <ctime>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "serve/store.h"

namespace velko::serve {

class Service;

// A promotion that would change an article on a device at a time another already does.
struct PromotionConflict : std::runtime_error {
    PromotionConflict(const std::string& what, std::vector<int64_t> ids)
        : std::runtime_error(what), promotions(std::move(ids)) {}
    std::vector<int64_t> promotions;
};

class Promotions {
  public:
    explicit Promotions(Service& service) : service_(service) {}

    // Keeps a new promotion (its devices named, its times in UTC text); PromotionConflict when
    // it overlaps another on an article of a device.
    PromotionRecord add(PromotionRecord promotion);
    enum class Stop { Cancelled, Ended, Over, Unknown };
    // Cancels a promotion that has not started, or ends a running one now.
    Stop stop(int64_t id, std::time_t now);
    // Starts and ends what is due at `now`; when the next start or end is due.
    std::optional<std::time_t> tick(std::time_t now);

  private:
    // `again` names a second try after a stop cut the first one's jobs off.
    void start(PromotionRecord& p, const std::string& again = "");
    void end(PromotionRecord& p, const std::string& again = "");
    std::string cutOff(const PromotionRecord& p, bool ends);

    Service& service_;
    std::mutex mutex_;  // one of add, stop and tick at a time
};

}  // namespace velko::serve
