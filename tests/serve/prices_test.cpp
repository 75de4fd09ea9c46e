// The lowest price a shelf label shows beside a reduction, at the edges of its rules, and the
// moments the API takes and gives.
#include "serve/prices.h"

#include <gtest/gtest.h>

namespace velko::serve {
namespace {

constexpr std::time_t kStart = 1767225600;  // 2026-01-01T00:00:00Z
constexpr std::time_t kDay = 86400;

std::time_t day(double n) {
    return kStart + std::time_t(n * kDay);
}

struct Case {
    const char* what;
    std::vector<PricePoint> history;
    std::time_t at;
    bool perishable;
    std::optional<int32_t> price, lowest;
    bool reduction, stepped;
    const char* rule;
};

TEST(LowestPrice, FollowsEachRuleToItsEdges) {
    // Two changes up and a promotion from day 40 to day 43.
    const std::vector<PricePoint> year = {
        {day(0), 800}, {day(10), 1000}, {day(25), 1200}, {day(40), 900}, {day(43), 1200}};
    std::vector<PricePoint> longer = year;  // 8.00 lasted a second into the 30 days
    longer[1].at += 1;
    const std::vector<PricePoint> steps = {{day(0), 1000}, {day(20), 900}, {day(22), 800}};
    const std::vector<PricePoint> fresh = {{day(0), 500}, {day(35), 600}, {day(38), 400}};
    const Case cases[] = {
        {"8.00 ended exactly 30 days before", year, day(40) + 3600, false, 900, 1000, true, false,
         "days"},
        {"8.00 was in force on the 30th day", longer, day(40) + 3600, false, 900, 800, true, false,
         "days"},
        {"the day before the promotion", year, day(39), false, 1200, 800, false, false,
         "no_reduction"},
        {"after the promotion, a rise", year, day(44), false, 1200, 900, false, false,
         "no_reduction"},
        {"two steps down count from the first", steps, day(23), false, 800, 1000, true, true,
         "since_first_appeared"},
        {"on sale for fewer than 30 days",
         {{day(30), 1000}, {day(40), 900}},
         day(41),
         false,
         900,
         1000,
         true,
         false,
         "since_first_appeared"},
        {"perishable: the price just before", fresh, day(38), true, 400, 600, true, false,
         "perishable"},
        {"not perishable: the lowest in 30 days", fresh, day(38), false, 400, 500, true, false,
         "days"},
        {"cut within the second it appeared",
         {{day(0), 650}, {day(0), 590}},
         day(1),
         false,
         590,
         650,
         true,
         false,
         "since_first_appeared"},
        {"before it was on the device", year, day(-1), false, std::nullopt, std::nullopt, false,
         false, ""},
        {"taken off the device",
         {{day(0), 500}, {day(5), std::nullopt}},
         day(6),
         false,
         std::nullopt,
         std::nullopt,
         false,
         false,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LowestPrice got = lowestPrice(c.history, c.at, 30, c.perishable);
        EXPECT_EQ(got.price, c.price);
        EXPECT_EQ(got.lowest, c.lowest);
        EXPECT_EQ(got.reduction, c.reduction);
        EXPECT_EQ(got.stepped, c.stepped);
        EXPECT_EQ(got.rule, c.rule);
    }
}

TEST(Moments, TakeRfc3339WithAnOffsetAndNothingElse) {
    EXPECT_EQ(parseMoment("2026-01-01T00:00:00Z"), kStart);
    EXPECT_EQ(parseMoment("2026-01-01T01:30:00+01:30"), kStart);
    EXPECT_EQ(parseMoment("2025-12-31T19:00:00.250-05:00"), kStart);
    for (const char* bad : {"2026-01-01T00:00:00", "2026-02-30T00:00:00Z", "2026-01-01 00:00Z",
                            "2026-01-01T24:00:00Z", "2026-01-01T00:00:00+1:00", "",
                            // past the last moment a four-digit year writes
                            "9999-12-31T23:59:60Z", "9999-12-31T23:59:59-00:01"})
        EXPECT_EQ(parseMoment(bad), std::nullopt) << bad;
    EXPECT_EQ(parseMoment(localMoment(kStart + 12345)), kStart + 12345);
    EXPECT_EQ(parseMoment("9999-12-31T23:59:59Z"), std::time_t(253402300799));
}

}  // namespace
}  // namespace velko::serve
