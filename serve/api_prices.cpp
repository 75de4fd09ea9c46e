#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "device/amount.h"
#include "device/article_rules.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/untrusted_json.h"
#include "serve/api.h"
#include "serve/api_support.h"
#include "serve/prices.h"
#include "serve/views.h"

namespace velko::serve {

using nlohmann::ordered_json;
using namespace support;

namespace {

// An amount for a CSV: "4.50", or "4,50" for Polish Excel.
std::string csvAmount(std::optional<int32_t> value, bool excel) {
    if (!value) return "";
    std::string text = formatAmount(*value, 2);
    if (excel) std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::optional<int32_t> priceOf(const ordered_json& value) {
    return value.is_null() ? std::nullopt : std::optional<int32_t>(value.get<int32_t>());
}

// A moment from the query: a '+' of its offset that came unencoded reads as a space.
std::optional<std::time_t> momentParam(const ApiRequest& request, const char* name) {
    std::string text = request.param(name);
    std::replace(text.begin(), text.end(), ' ', '+');
    return parseMoment(text);
}

}  // namespace

// The devices a price query names: one device, a group, or every device.
std::optional<ApiResponse> Api::priceDevices(const ApiRequest& request,
                                             std::vector<std::string>& names) {
    const std::string device = request.param("device"), group = request.param("group");
    if (!device.empty() && !group.empty()) return error(400, "give 'device' or 'group', not both");
    if (!device.empty()) {
        if (!service_.device(device)) return error(404, "no such device: '" + device + "'");
        names = {device};
    } else if (!group.empty()) {
        std::string unknown;
        for (const DeviceConfig* d : devicesNamed(service_.config(), {group}, &unknown))
            names.push_back(d->name);
        if (!unknown.empty() || names.empty()) return error(404, "no such group: '" + group + "'");
    }
    return std::nullopt;
}

// What each article cost at a moment, and the lowest price in the days before a reduction:
// what a shelf label must show beside it.
ApiResponse Api::lowestPrices(const Call& call) {
    const ApiRequest& request = call.request;
    std::time_t at = std::time(nullptr);
    if (!request.param("at").empty()) {
        const auto moment = momentParam(request, "at");
        if (!moment)
            return error(400, "'at' must be a time with its offset, as 2026-12-11T08:00:00+01:00");
        at = *moment;
    }
    int days = 30;
    if (!request.param("days").empty()) {
        days = int(std::min<int64_t>(idOf(request.param("days")), 1000));
        if (days <= 0 || days > 366) return error(400, "'days' must be a number from 1 to 366");
    }
    std::vector<std::string> devices, codes;
    if (auto bad = priceDevices(request, devices)) return *bad;
    std::stringstream list(request.param("codes"));
    for (std::string code; std::getline(list, code, ',');) {
        if (!codeProblem(code).empty())
            return error(400, "'codes' must be codes of 1 to 14 digits, not '" + code + "'");
        codes.push_back(std::to_string(codeNumber(code)));
    }
    const auto history = service_.store().priceHistory(devices, codes);
    const auto codec = files::makeTextCodec();
    const std::string atText = utcText(at);
    const std::set<int>& perishable = service_.config().perishableGroups;
    ordered_json rows = ordered_json::array();
    for (size_t first = 0, end; first < history.size(); first = end) {
        std::vector<PricePoint> points;
        const PriceChange* named = nullptr;  // its name and group at `at`
        for (end = first; end < history.size() && history[end].device == history[first].device &&
                          history[end].code == history[first].code;
             ++end) {
            points.push_back({parseMoment(history[end].at).value_or(0), history[end].price});
            if (history[end].price && history[end].at <= atText) named = &history[end];
        }
        if (!named) continue;
        const LowestPrice p = lowestPrice(points, at, days, perishable.count(named->group + 1) > 0);
        if (!p.price) continue;
        rows.push_back({{"device", named->device},
                        {"code", named->code},
                        {"name", codec->toUtf8(named->name)},
                        {"group", named->group + 1},
                        {"price", *p.price},
                        {"lowest", p.lowest ? ordered_json(*p.lowest) : ordered_json(nullptr)},
                        {"reduction", p.reduction},
                        {"reduced_at", p.reduction ? ordered_json(localMoment(p.reducedAt))
                                                   : ordered_json(nullptr)},
                        {"stepped", p.stepped},
                        {"rule", p.rule}});
    }
    if (wantsCsv(request)) {
        const bool excel = request.param("excel") == "1";
        const char sep = excel ? ';' : ',';
        std::ostringstream out;
        if (excel) out << "\xEF\xBB\xBF";
        out << "device" << sep << "code" << sep << "name" << sep << "price" << sep << "lowest"
            << sep << "reduction" << sep << "reduced_at" << sep << "rule\r\n";
        for (const auto& r : rows) {
            out << r["device"].get<std::string>() << sep << r["code"].get<std::string>() << sep
                << files::csvText(r["name"].get<std::string>(), sep) << sep
                << csvAmount(priceOf(r["price"]), excel) << sep
                << csvAmount(priceOf(r["lowest"]), excel) << sep
                << (r["reduction"].get<bool>() ? 1 : 0) << sep
                << (r["reduced_at"].is_null() ? "" : r["reduced_at"].get<std::string>()) << sep
                << r["rule"].get<std::string>() << "\r\n";
        }
        return csv(out.str(), "lowest-prices.csv");
    }
    // Amounts as the other answers give them, "4.50".
    for (auto& r : rows) {
        r["price"] = formatAmount(r["price"].get<int32_t>(), 2);
        if (!r["lowest"].is_null()) r["lowest"] = formatAmount(r["lowest"].get<int32_t>(), 2);
    }
    return json(200, {{"at", localMoment(at)}, {"days", days}, {"articles", rows}});
}

// Every price an article had, on one device or each: for a step chart.
ApiResponse Api::priceHistory(const Call& call) {
    const std::string& code = call.path.at("code");
    if (!codeProblem(code).empty()) return error(404, "no such code: '" + code + "'");
    std::vector<std::string> devices;
    if (auto bad = priceDevices(call.request, devices)) return *bad;
    const auto codec = files::makeTextCodec();
    ordered_json out = {{"code", std::to_string(codeNumber(code))},
                        {"devices", ordered_json::array()}};
    for (const PriceChange& c :
         service_.store().priceHistory(devices, {std::to_string(codeNumber(code))})) {
        auto& list = out["devices"];
        if (list.empty() || list.back()["device"] != c.device)
            list.push_back({{"device", c.device}, {"history", ordered_json::array()}});
        list.back()["history"].push_back(
            {{"at", localMoment(parseMoment(c.at).value_or(0))},
             {"price", c.price ? ordered_json(formatAmount(*c.price, 2)) : ordered_json(nullptr)},
             {"name", c.price ? ordered_json(codec->toUtf8(c.name)) : ordered_json(nullptr)},
             {"job", c.job}});
    }
    return json(200, out);
}

// A promotion: its articles (a price list in any form an upload takes) at their prices on the
// devices and groups named, from `starts_at` to `ends_at`.
ApiResponse Api::addPromotion(const Call& call) {
    const ApiRequest& request = call.request;
    const auto starts = momentParam(request, "starts_at"), ends = momentParam(request, "ends_at");
    if (!starts || !ends)
        return error(400,
                     "'starts_at' and 'ends_at' must be times with their offset, as "
                     "2026-12-11T08:00:00+01:00");
    if (*ends <= *starts) return error(400, "'ends_at' must come after 'starts_at'");
    if (*ends <= std::time(nullptr)) return error(400, "the promotion would have ended already");
    std::vector<std::string> names;
    std::stringstream list(request.param("devices"));
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
    std::string unknown;
    const auto devices = devicesNamed(service_.config(), names, &unknown);
    if (!unknown.empty()) return error(404, "no such device or group: '" + unknown + "'");
    if (devices.empty()) return error(400, "'devices' must name devices or groups");
    PromotionRecord p;
    std::vector<files::Fault> faults, warnings;
    if (!readList(request, "upload", p.articles, faults, warnings))
        return json(422, {{"error", "the price list has faults"}, {"faults", faultsJson(faults)}});
    if (p.articles.size() > size_t(service_.config().maxArticles))
        return error(422, "the list has more articles than a device holds (max_articles)");
    p.startsAt = utcText(*starts);
    p.endsAt = utcText(*ends);
    p.created = utcText(std::time(nullptr));
    p.by = call.token->name;
    for (const DeviceConfig* d : devices) p.devices.push_back({d->name, 0, 0, ""});
    try {
        p = service_.promotions().add(std::move(p));
    } catch (const PromotionConflict& e) {
        return json(409, {{"error", e.what()}, {"promotions", e.promotions}});
    }
    service_.scheduleSoon();
    ApiResponse r = json(201, promotionJson(p));
    r.headers.emplace_back("Location", "/api/promotions/" + std::to_string(p.id));
    return r;
}

// The newest promotions (100, or `limit` up to 1000), of one state, or those not over before
// `since`; their articles are had from each promotion's own route.
ApiResponse Api::promotions(const Call& call) {
    const ApiRequest& request = call.request;
    PromotionFilter filter;
    filter.articles = false;
    filter.limit = 100;
    const std::string state = request.param("state");
    const char* const states[] = {"scheduled", "started", "ended", "cancelled", "skipped"};
    if (!state.empty() &&
        std::find(std::begin(states), std::end(states), state) == std::end(states))
        return error(400, "'state' must be scheduled, started, ended, cancelled or skipped");
    if (!state.empty()) filter.states = {state};
    filter.endsSince = request.param("since");
    if (!filter.endsSince.empty() && !isDayOrTime(filter.endsSince))
        return error(400,
                     "'since' must be a day or a UTC time, as 2026-12-08 or "
                     "2026-12-08T21:04:10Z");
    if (!request.param("limit").empty()) {
        filter.limit = int(std::min<int64_t>(idOf(request.param("limit")), 1000));
        if (filter.limit <= 0) return error(400, "'limit' must be a number from 1 to 1000");
    }
    ordered_json list = ordered_json::array();
    for (const PromotionRecord& p : service_.store().promotions(filter))
        list.push_back(promotionJson(p, false));
    return json(200, {{"promotions", list}});
}

ApiResponse Api::promotion(const Call& call) {
    const int64_t id = idOf(call.path.at("id"));
    const auto found = id ? service_.store().promotions(id) : std::vector<PromotionRecord>{};
    if (found.empty()) return error(404, "no such promotion: '" + call.path.at("id") + "'");
    return json(200, promotionJson(found.front()));
}

// Cancels a promotion that has not started, or ends a running one now.
ApiResponse Api::stopPromotion(const Call& call) {
    const int64_t id = idOf(call.path.at("id"));
    const auto stopped =
        id ? service_.promotions().stop(id, std::time(nullptr)) : Promotions::Stop::Unknown;
    if (stopped == Promotions::Stop::Unknown)
        return error(404, "no such promotion: '" + call.path.at("id") + "'");
    if (stopped == Promotions::Stop::Over) return error(409, "the promotion is over already");
    return json(200, promotionJson(service_.store().promotions(id).front()));
}

}  // namespace velko::serve
