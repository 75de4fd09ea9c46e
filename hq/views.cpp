#include "hq/views.h"

#include <algorithm>
#include <map>

#include "device/amount.h"
#include "hq/register.h"

namespace velko::hq {

// Head office's picture, a page of it: the stores (of one, when named), their devices (in one
// state, or "behind"), and each device's word on the promotions sent to it, each list at most
// `page.limit` long from `page.offset`; "more" says that a list goes on.
ordered_json statusJson(HqStore& store, const HqStore::Page& page) {
    const Register enrolled(store);
    bool more = false;
    const auto within = [&](int64_t& seen) {
        const bool in = seen >= page.offset && seen < page.offset + page.limit;
        more = more || seen >= page.offset + page.limit;
        ++seen;
        return in;
    };
    ordered_json stores = ordered_json::array();
    // Each device as its shop announces it, where the shop announces its devices.
    std::map<std::string, std::vector<std::string>> announced;
    int64_t seen = 0;
    for (const StoreState& s : store.stores()) {
        if (!page.store.empty() && s.store != page.store) continue;
        if (!s.started.empty()) announced[s.store] = s.devices;
        if (!within(seen)) continue;
        stores.push_back({{"store", s.store},
                          {"status", s.status},
                          {"since", s.since},
                          {"heard", s.heard},
                          {"devices", s.devices},
                          {"standing", enrolled.standing(s.store)}});
    }
    ordered_json devices = ordered_json::array();
    seen = 0;
    for (const DeviceState& d : store.devices(page.store)) {
        const bool behind = d.desired > 0 && (d.desired > d.reported || d.state != "verified");
        if (!page.state.empty() && d.state != page.state && !(page.state == "behind" && behind))
            continue;
        if (!within(seen)) continue;
        const auto shop = announced.find(d.store);
        devices.push_back(
            {{"store", d.store},
             {"standing", enrolled.standing(d.store, d.device)},
             {"announced", shop == announced.end()
                               ? ordered_json()
                               : ordered_json(std::count(shop->second.begin(), shop->second.end(),
                                                         d.device) > 0)},
             {"device", d.device},
             {"desired", d.desired},
             {"reported", d.reported},
             {"state", d.state},
             {"behind", behind},
             {"detail", d.detail}});
    }
    // How each chain promotion stands on each device it was sent to, as the shop last said.
    ordered_json promotions = ordered_json::array();
    HqStore::Page promotionPage = page;
    promotionPage.state.clear();
    promotionPage.limit = page.limit + 1;
    for (const auto& p : store.promotionStates(promotionPage)) {
        if (int64_t(promotions.size()) == page.limit) {
            more = true;
            break;
        }
        const auto stage = [](const std::string& s) {
            return s.empty() ? ordered_json() : ordered_json(s);
        };
        promotions.push_back({{"promotion", p.id},
                              {"store", p.store},
                              {"device", p.device},
                              {"state", p.state},
                              {"start", stage(p.start)},
                              {"end", stage(p.end)},
                              {"note", p.note}});
    }
    return {{"stores", stores}, {"devices", devices}, {"promotions", promotions}, {"more", more}};
}

ordered_json reportsJson(HqStore& store, const std::string& day) {
    ordered_json list = ordered_json::array();
    for (const DayReport& r : store.dayReports(day)) {
        list.push_back({{"store", r.store},
                        {"device", r.device},
                        {"business_day", r.businessDay},
                        {"version", r.version},
                        {"reports", r.reports},
                        {"articles", r.articles},
                        {"quantity", formatAmount(r.quantity, 3)},
                        {"value", formatAmount(r.value, 2)},
                        {"received", r.received}});
    }
    // Devices in service without a report of the day.
    const Register enrolled(store);
    ordered_json missing = ordered_json::array();
    for (const DeviceState& d : store.devices()) {
        if (!enrolled.standing(d.store, d.device).empty()) continue;
        const bool has = std::any_of(list.begin(), list.end(), [&](const ordered_json& r) {
            return r["store"] == d.store && r["device"] == d.device;
        });
        if (!has) missing.push_back({{"store", d.store}, {"device", d.device}});
    }
    return {{"business_day", day}, {"reports", list}, {"missing", missing}};
}

}  // namespace velko::hq
