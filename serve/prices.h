// Prices through time: what an article cost when, and the lowest price before a reduction that
// a shelf label must show beside it. Pure: the history comes in, the answer goes out.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "http/moments.h"

namespace velko::serve {

using http::parseMoment;
// The moment in this computer's local time with its offset: "2026-12-11T08:00:00+01:00".
std::string localMoment(std::time_t when);

// One change of an article's price on a device: from `at` on it cost `price` (hundredths), or
// it was gone from the device (no price).
struct PricePoint {
    std::time_t at = 0;
    std::optional<int32_t> price;
};

struct LowestPrice {
    std::optional<int32_t> price;   // at the moment asked; none: not on the device then
    std::optional<int32_t> lowest;  // the lowest in the days before the reduction (or before
                                    // the moment, with no reduction)
    bool reduction = false;         // the price then is lower than the one before it
    std::time_t reducedAt = 0;      // when the reduction's first step came
    bool stepped = false;           // the reduction came in more than one step
    // Which rule gave `lowest`: "days" (the lowest in the days before the reduction),
    // "since_first_appeared" (on the device for fewer days than that), "perishable" (the price
    // just before the reduction, for groups that spoil quickly), "no_reduction".
    std::string rule;
};

// `history` oldest first. A reduction that deepens step by step counts from its first step,
// as long as each step comes within `days` of the first.
LowestPrice lowestPrice(const std::vector<PricePoint>& history, std::time_t at, int days,
                        bool perishable);

}  // namespace velko::serve
