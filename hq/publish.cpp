
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/price_list.h"
#include "chain/topics.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "hq/broker_session.h"
#include "hq/config.h"
#include "hq/hq.h"
#include "hq/hq_store.h"
#include "hq/intake.h"
#include "hq/register.h"
#include "http/host.h"
#include "http/moments.h"

namespace velko::hq {

using nlohmann::ordered_json;

namespace {

// Each device's version that changes can be sent from: the one it has applied and verified
// when that is also the last one sent to it. Devices behind, or that differ, are not in it.
std::map<std::pair<std::string, std::string>, int64_t> settledVersions(HqStore& store) {
    std::map<std::pair<std::string, std::string>, int64_t> out;
    for (const DeviceState& d : store.devices()) {
        if (d.reported > 0 && d.reported == d.desired && d.state == "verified")
            out[{d.store, d.device}] = d.reported;
    }
    return out;
}

// A price list as its changes from `before`: the articles added or changed, the codes gone.
std::string changesMessage(int64_t version, const std::string& checksum, int64_t base,
                           const ordered_json& before, const ordered_json& after) {
    std::map<std::string, ordered_json> old;
    for (const auto& a : before) old[a.value("code", "")] = a;
    ordered_json put = ordered_json::array(), gone = ordered_json::array();
    for (const auto& a : after) {
        const auto it = old.find(a.value("code", ""));
        if (it == old.end() || it->second != a) put.push_back(a);
        if (it != old.end()) old.erase(it);
    }
    for (const auto& [code, a] : old) gone.push_back(code);
    return ordered_json{{"version", version},
                        {"checksum", checksum},
                        {"base", base},
                        {"changes", {{"put", put}, {"delete", gone}}}}
        .dump();
}

}  // namespace

// A price list as head office sends it: the articles as JSON, without the sales counters.
ordered_json publishedArticles(const std::vector<ArticleRecord>& records) {
    std::ostringstream articles;
    files::writeArticles(articles, files::Format::Json, records, *files::makeTextCodec());
    ordered_json list = ordered_json::parse(articles.str());
    for (auto& a : list) {
        a.erase("quantity");
        a.erase("value");
    }
    return list;
}

// Where a publish goes: the devices named, else every device of the stores named (or of all)
// that is in service; the others are named on standard error, and why. Empty: nowhere (said).
std::vector<std::pair<std::string, std::string>> publishTargets(HqStore& store,
                                                                const HqOptions& options) {
    std::vector<std::pair<std::string, std::string>> targets;
    const Register enrolled(store);
    for (const DeviceState& d : store.devices()) {
        const bool storeWanted = options.stores.empty() ||
                                 std::count(options.stores.begin(), options.stores.end(), d.store);
        const bool deviceWanted =
            options.devices.empty() ||
            std::count(options.devices.begin(), options.devices.end(), d.device);
        const std::string standing = enrolled.standing(d.store, d.device);
        if (storeWanted && deviceWanted && !standing.empty())
            std::fprintf(stderr, "velko hq: skipped: %s\n", standing.c_str());
        else if (storeWanted && deviceWanted)
            targets.emplace_back(d.store, d.device);
    }
    for (const std::string& s : options.stores) {
        for (const std::string& d : options.devices) {
            if (std::find(targets.begin(), targets.end(), std::make_pair(s, d)) == targets.end())
                targets.emplace_back(s, d);
        }
    }
    if (targets.empty())
        std::fprintf(stderr,
                     "velko hq: no device to publish to: none is known yet, and "
                     "none was named with --store and --device\n");
    return targets;
}

// A chain promotion: the articles at their prices from `from` to `until` on each device, as a
// retained message of its own on the device's topic, so that a shop that connects later still
// applies it while it is current. Prints its id; the shops answer under result/promotion-ID.
int publishPromotion(const HqOptions& options, const std::vector<ArticleRecord>& records,
                     HqStore& store, const HqConfig& config) {
    const auto targets = publishTargets(store, options);
    if (targets.empty()) return 2;
    const ordered_json list = publishedArticles(records);
    const std::string id = commandId();
    const std::string message = http::safeDump({{"id", id},
                                                {"version", 1},
                                                {"starts_at", options.from},
                                                {"ends_at", options.until},
                                                {"articles", list}});
    std::vector<std::pair<std::string, std::string>> messages;
    for (const auto& [shop, device] : targets)
        messages.emplace_back(chain::promotionTopic(shop, device, id), message);
    // Recorded before it goes: head office keeps the answers only to what it sent.
    store.sent(id, "promotion", targets, http::utcText(std::time(nullptr)));
    BrokerSession broker(config.toolBroker(), "velko-hq-publish-" + id);
    if (!broker.connect() || !broker.publish(messages, true)) {
        std::fprintf(stderr,
                     "velko hq: the promotion did not reach the broker whole; publish it "
                     "again\n");
        return 1;
    }
    std::printf("%s\n", id.c_str());
    return 0;
}

int publishPriceList(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    if (options.from.empty() != options.until.empty()) {
        std::fprintf(stderr, "velko hq: --from and --until go together\n");
        return 2;
    }
    for (const std::string& t : {options.from, options.until}) {
        if (!t.empty() && !http::parseMoment(t)) {
            std::fprintf(stderr,
                         "velko hq: '%s' is not a time with its offset, as "
                         "2026-12-11T08:00:00+01:00\n",
                         t.c_str());
            return 2;
        }
    }
    std::vector<ArticleRecord> records;
    std::vector<files::Fault> faults;
    files::loadArticleFile(options.file, files::RowUse::Upload, *files::makeTextCodec(), records,
                           faults);
    if (!faults.empty()) {
        for (const auto& f : faults)
            std::fprintf(stderr, "velko hq: %s\n", files::describe(f).c_str());
        return 3;
    }
    try {
        auto store = openStore(config);
        if (!options.from.empty()) return publishPromotion(options, records, *store, config);
        const auto targets = publishTargets(*store, options);
        if (targets.empty()) return 2;
        const ordered_json list = publishedArticles(records);
        const int64_t version = store->nextVersion();
        const std::string checksum = chain::priceListChecksum(records);
        // The version is taken before anything is sent: a publish that fails half-way leaves
        // it used, and the next list goes out under a new one that no shop has seen.
        store->published(version, checksum, list.dump(), http::utcText(std::time(nullptr)));
        const std::string whole = wholeList(version, checksum, list);
        std::map<int64_t, std::string> fromBase;  // the message as changes, by base version
        std::vector<std::pair<std::string, std::string>> messages;
        const auto settled = settledVersions(*store);
        for (const auto& target : targets) {
            const auto& [shop, device] = target;
            messages.emplace_back(chain::desiredTopic(shop, device), whole);
            const auto found = settled.find(target);
            if (found == settled.end()) continue;
            const int64_t base = found->second;
            if (!fromBase.count(base)) {
                const auto before = store->priceList(base);
                fromBase[base] = before
                                     ? changesMessage(version, checksum, base,
                                                      ordered_json::parse(before->articles), list)
                                     : whole;
            }
            if (fromBase[base].size() < whole.size()) messages.back().second = fromBase[base];
        }
        BrokerSession broker(config.toolBroker(), "velko-hq-publish-" + std::to_string(version));
        if (!broker.connect()) {
            std::fprintf(stderr, "velko hq: nothing was published; version %lld is left unused\n",
                         (long long)version);
            return 1;
        }
        if (!broker.publish(messages, true)) {
            std::fprintf(stderr,
                         "velko hq: the broker did not acknowledge every device's list; publish "
                         "again (as a new version)\n");
            return 1;
        }
        for (const auto& [shop, device] : targets) store->desired(shop, device, version);
        std::printf("%lld\n", (long long)version);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

}  // namespace velko::hq
