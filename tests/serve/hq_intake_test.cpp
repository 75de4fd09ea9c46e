// Head office's intake without a broker: what a shop's login may send, message by message, in
// the order a chain would send it, and what head office keeps of each.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <string>

#include "hq/intake.h"
#include "http/moments.h"

namespace velko::hq {
namespace {

TEST(HqIntake, KeepsWhatAShopMaySendAndRefusesTheRestNamingWhy) {
    char dir[] = "/tmp/velko-hq-intake-XXXXXX";
    HqStore store(std::string(mkdtemp(dir)) + "/hq.db");
    store.sent("p-1", "promotion", {{"shop-1", "till-1"}}, "2026-12-10T08:00:00Z");
    store.sent("c-1", "command", {{"shop-1", ""}}, "2026-12-10T08:00:00Z");
    const std::string now = http::utcText(std::time(nullptr));
    const std::string yesterday = http::utcText(std::time(nullptr) - 86400).substr(0, 10);
    const std::string presence = R"({"state": "online", "since": ")" + now + R"(", "at": ")" + now +
                                 R"(", "started": ")" + now +
                                 R"(", "seq": 1, "devices": ["till-1"]})";
    const std::string day = R"({"store": "shop-1", "device": "till-1", "business_day": ")" +
                            yesterday +
                            R"(", "version": 1, "reports": [], "rows": [], "quantity": "1.000",)"
                            R"( "value": "2.00"})";
    const struct {
        std::string topic, payload;
        const char* refused;  // part of the reason; "" when kept
    } table[] = {
        {"velko/shop-1/till-1/pricelist/reported", R"({"version": 3, "state": "verified"})",
         "neither in its shop's presence"},
        {"velko/shop-1/status", presence, ""},
        {"velko/shop-1/till-1/pricelist/reported", R"({"version": 3, "state": "verified"})", ""},
        {"velko/shop-1/till-9/pricelist/reported", R"({"version": 3})", "neither"},
        {"velko/shop-1/status", std::string(40000, ' '), "for such a message"},
        {"velko/shop-1/result/promotion-p-1",
         R"({"devices": [{"device": "till-1", "state": "ended", "start": "done"},)"
         R"( {"device": "till-2", "state": "ended"}]})",
         ""},
        {"velko/shop-1/result/promotion-p-2", R"({"devices": []})", "sent nothing under 'p-2'"},
        {"velko/shop-2/result/c-1", R"({"state": "done"})", "sent nothing under 'c-1' to shop-2"},
        {"velko/shop-1/result/c-1", R"({"state": "done"})", ""},
        {"velko/shop-1/result/promotion-p-1", R"({"devices": [{"device": 7}]})", "1000 bytes"},
        {"velko/shop-1/till-1/closeday/" + yesterday, day, ""},
        // Refused with a receipt that says why, so that the shop stops sending it.
        {"velko/shop-1/till-1/closeday/" + yesterday, R"({"version": [], "store": "shop-1"})",
         "a day report's 'version' is a whole number"},
        {"velko/shop-1/till-1/pricelist/desired", "{}", "not a message head office reads"},
        {"elsewhere/shop-1/status", "online", "not a shop's topic"},
        {"velko/shop-1/till-1/pricelist/reported",
         std::string(100, '[') + "1" + std::string(100, ']'), "nested deeper"},
    };
    for (const auto& row : table) {
        std::string refused;
        try {
            const auto receipt = take(store, row.topic, row.payload, false, 1 << 20);
            if (receipt && receipt->refused) refused = "receipt: " + receipt->payload;
        } catch (const Refused& e) {
            refused = e.what();
        }
        if (*row.refused == '\0') {
            EXPECT_EQ(refused, "") << row.topic;
        } else {
            EXPECT_NE(refused.find(row.refused), std::string::npos) << row.topic << ": " << refused;
        }
    }
    // What was kept: one device, its promotion's word (not another's), the command's answer,
    // the day's report.
    const auto devices = store.devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].reported, 3);
    const auto said = store.promotionStates({});
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(std::make_tuple(said[0].device, said[0].state, said[0].start),
              std::make_tuple("till-1", "ended", "done"));
    EXPECT_EQ(store.commandResults("c-1").size(), 1u);
    EXPECT_EQ(store.dayReports(yesterday).size(), 1u);
}

}  // namespace
}  // namespace velko::hq
