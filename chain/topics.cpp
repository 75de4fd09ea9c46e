#include "chain/topics.h"

namespace velko::chain {

namespace {

const std::string kRoot = "velko/";
const std::string kPromotionResult = "promotion-";

std::vector<std::string> split(const std::string& topic) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t slash; (slash = topic.find('/', from)) != std::string::npos; from = slash + 1)
        parts.push_back(topic.substr(from, slash - from));
    parts.push_back(topic.substr(from));
    return parts;
}

std::string ofDevice(const std::string& store, const std::string& device, const std::string& rest) {
    return kRoot + store + "/" + device + "/" + rest;
}

}  // namespace

Topic readTopic(const std::string& topic) {
    const auto p = split(topic);
    Topic t;
    if (p.size() < 3 || p[0] != "velko" || p[1].empty()) return t;
    t.store = p[1];
    if (p.size() == 3 && p[2] == "status") {
        t.kind = TopicKind::Status;
    } else if (p.size() == 4 && (p[2] == "command" || p[2] == "result")) {
        t.kind = p[2] == "command" ? TopicKind::Command : TopicKind::Result;
        t.key = p[3];
    } else if (p.size() == 5 && p[3] == "pricelist" && (p[4] == "desired" || p[4] == "reported")) {
        t.kind = p[4] == "desired" ? TopicKind::Desired : TopicKind::Reported;
        t.device = p[2];
    } else if (p.size() == 5 && (p[3] == "closeday" || p[3] == "receipt" || p[3] == "promotion")) {
        t.kind = p[3] == "closeday"  ? TopicKind::DayReport
                 : p[3] == "receipt" ? TopicKind::Receipt
                                     : TopicKind::Promotion;
        t.device = p[2];
        t.key = p[4];
    }
    return t;
}

std::string statusTopic(const std::string& store) {
    return kRoot + store + "/status";
}
std::string desiredTopic(const std::string& store, const std::string& device) {
    return ofDevice(store, device, "pricelist/desired");
}
std::string reportedTopic(const std::string& store, const std::string& device) {
    return ofDevice(store, device, "pricelist/reported");
}
std::string dayReportTopic(const std::string& store, const std::string& device,
                           const std::string& businessDay) {
    return ofDevice(store, device, "closeday/" + businessDay);
}
std::string receiptTopic(const std::string& store, const std::string& device,
                         const std::string& businessDay) {
    return ofDevice(store, device, "receipt/" + businessDay);
}
std::string promotionTopic(const std::string& store, const std::string& device,
                           const std::string& id) {
    return ofDevice(store, device, "promotion/" + id);
}
std::string commandTopic(const std::string& store, const std::string& id) {
    return kRoot + store + "/command/" + id;
}
std::string resultTopic(const std::string& store, const std::string& id) {
    return kRoot + store + "/result/" + id;
}

std::string promotionResultId(const std::string& promotion) {
    return kPromotionResult + promotion;
}
std::string promotionOfResult(const std::string& resultId) {
    return resultId.compare(0, kPromotionResult.size(), kPromotionResult) == 0
               ? resultId.substr(kPromotionResult.size())
               : std::string();
}

std::vector<std::string> shopFilters(const std::string& store) {
    return {desiredTopic(store, "+"), commandTopic(store, "+"), receiptTopic(store, "+", "+"),
            promotionTopic(store, "+", "+")};
}

std::vector<std::string> headOfficeFilters() {
    std::vector<std::string> filters;
    for (const std::string& f : {statusTopic("+"), resultTopic("+", "+"), reportedTopic("+", "+"),
                                 dayReportTopic("+", "+", "+")})
        filters.push_back("$share/velko-hq/" + f);
    return filters;
}

std::vector<std::string> formerHeadOfficeFilters() {
    return {statusTopic("+"), resultTopic("+", "+"), ofDevice("+", "+", "pricelist/+"),
            reportedTopic("+", "+"), dayReportTopic("+", "+", "+")};
}

std::string resultsFilter(const std::string& id) {
    return resultTopic("+", id);
}

}  // namespace velko::chain
