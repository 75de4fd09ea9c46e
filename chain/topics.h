// The chain's topics, built and read here alone: everything of a shop lives under velko/STORE/,
// each device's under velko/STORE/DEVICE/.
//   velko/S/status                       the shop's presence (retained; its last will too)
//   velko/S/D/pricelist/desired          the list head office wants on the device (retained)
//   velko/S/D/pricelist/reported         the list the device holds, as the shop last checked
//   velko/S/D/closeday/DAY               a business day's report of the device
//   velko/S/D/receipt/DAY                head office's receipt for it
//   velko/S/D/promotion/ID               a chain promotion for the device (retained)
//   velko/S/command/ID                   a command from head office
//   velko/S/result/ID                    the shop's answer to a command, or to promotion
//                                        "promotion-ID"
#pragma once

#include <string>
#include <vector>

namespace velko::chain {

enum class TopicKind {
    Status,
    Desired,
    Reported,
    DayReport,
    Receipt,
    Promotion,
    Command,
    Result,
    Unknown
};

// A topic read: its kind, its store, and its device and key (a business day or an id), where
// it has them. Names are as they stand: the reader checks them.
struct Topic {
    TopicKind kind = TopicKind::Unknown;
    std::string store, device, key;
};

Topic readTopic(const std::string& topic);

std::string statusTopic(const std::string& store);
std::string desiredTopic(const std::string& store, const std::string& device);
std::string reportedTopic(const std::string& store, const std::string& device);
std::string dayReportTopic(const std::string& store, const std::string& device,
                           const std::string& businessDay);
std::string receiptTopic(const std::string& store, const std::string& device,
                         const std::string& businessDay);
std::string promotionTopic(const std::string& store, const std::string& device,
                           const std::string& id);
std::string commandTopic(const std::string& store, const std::string& id);
std::string resultTopic(const std::string& store, const std::string& id);

// A promotion's answer is a result under this id; the promotion's id back from one ("" when
// the result is a command's).
std::string promotionResultId(const std::string& promotion);
std::string promotionOfResult(const std::string& resultId);

// What a shop subscribes to: what head office sends it.
std::vector<std::string> shopFilters(const std::string& store);
// What head office reads of every shop, each through its shared subscription (so that several
// head offices share the work), and the filters of earlier versions, given up at connecting.
std::vector<std::string> headOfficeFilters();
std::vector<std::string> formerHeadOfficeFilters();
// The answers to one command, from every shop.
std::string resultsFilter(const std::string& id);

}  // namespace velko::chain
