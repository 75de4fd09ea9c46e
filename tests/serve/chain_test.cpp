// The chain's topics as both sides build and read them.
#include <gtest/gtest.h>

#include "chain/topics.h"

namespace velko::chain {
namespace {

TEST(Topics, EachIsReadBackAsItWasBuiltAndNothingElseIsTakenForOne) {
    using K = TopicKind;
    const struct {
        std::string topic;
        K kind;
        const char *device, *key;
    } table[] = {
        {statusTopic("shop-1"), K::Status, "", ""},
        {desiredTopic("shop-1", "till-1"), K::Desired, "till-1", ""},
        {reportedTopic("shop-1", "till-1"), K::Reported, "till-1", ""},
        {dayReportTopic("shop-1", "till-1", "2026-12-10"), K::DayReport, "till-1", "2026-12-10"},
        {receiptTopic("shop-1", "till-1", "2026-12-10"), K::Receipt, "till-1", "2026-12-10"},
        {promotionTopic("shop-1", "till-1", "hq-1"), K::Promotion, "till-1", "hq-1"},
        {commandTopic("shop-1", "c-1"), K::Command, "", "c-1"},
        {resultTopic("shop-1", promotionResultId("hq-1")), K::Result, "", "promotion-hq-1"},
        // Not the chain's, or not of any kind it sends.
        {"velko/shop-1", K::Unknown, "", ""},
        {"other/shop-1/status", K::Unknown, "", ""},
        {"velko//status", K::Unknown, "", ""},
        {"velko/shop-1/status/x", K::Unknown, "", ""},
        {"velko/shop-1/till-1/pricelist/other", K::Unknown, "", ""},
        {"velko/shop-1/command/a/b", K::Unknown, "", ""},
        {"velko/shop-1/till-1/closeday", K::Unknown, "", ""},
    };
    for (const auto& row : table) {
        const Topic t = readTopic(row.topic);
        EXPECT_EQ(t.kind, row.kind) << row.topic;
        if (row.kind == K::Unknown) continue;
        EXPECT_EQ(t.store, "shop-1") << row.topic;
        EXPECT_EQ(t.device, row.device) << row.topic;
        EXPECT_EQ(t.key, row.key) << row.topic;
    }
    EXPECT_EQ(promotionOfResult("promotion-hq-1"), "hq-1");
    EXPECT_EQ(promotionOfResult("c-1"), "");
    // What each side subscribes to is what the other sends.
    EXPECT_EQ(shopFilters("shop-1")[0], "velko/shop-1/+/pricelist/desired");
    for (const std::string& f : headOfficeFilters())
        EXPECT_EQ(f.rfind("$share/velko-hq/velko/+/", 0), 0u) << f;
}

}  // namespace
}  // namespace velko::chain
