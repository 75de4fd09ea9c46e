#include "hq/hq.h"

#include <httplib.h>
#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/price_list.h"
#include "chain/topics.h"
#include "device/amount.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "hq/config.h"
#include "hq/hq_store.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/host.h"
#include "http/moments.h"
#include "http/server.h"
#include "jobs/scan.h"

namespace velko::hq {

// Head office's built-in page, by its file's name, made by http/embed.cmake.
const http::EmbeddedFile* pageFile(const std::string& name);
namespace {

using nlohmann::ordered_json;

bool loadConfig(const std::string& path, HqConfig& config) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> faults;
    if (!in) {
        faults.push_back(path + ": cannot be read");
    } else {
        std::ostringstream text;
        text << in.rdbuf();
        config = parseHqConfig(text.str(), path, faults);
    }
    for (const std::string& f : faults) std::fprintf(stderr, "velko hq: %s\n", f.c_str());
    return faults.empty();
}

std::unique_ptr<HqStore> openStore(const HqConfig& config) {
    if (!config.database.empty()) return std::make_unique<HqStore>(config.database);
    std::error_code error;
    std::filesystem::create_directories(config.data, error);
    return std::make_unique<HqStore>(config.data + "/hq.db");
}

// What the register says of a store or one of its devices: "" when it is in service (or when
// no register is kept: a chain that never enrolled anything), else why it is not.
class Register {
  public:
    explicit Register(HqStore& store) : rows_(store.enrolled()) {}
    std::string standing(const std::string& store, const std::string& device = "") const {
        if (rows_.empty()) return "";
        const auto row = [&](const std::string& d) {
            const auto it = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) {
                return r.store == store && r.device == d;
            });
            return it == rows_.end() ? nullptr : &*it;
        };
        const HqStore::Enrolled* shop = row("");
        if (!shop) return "store " + store + " is not in the register";
        if (!shop->retired.empty()) return "store " + store + " was retired " + shop->retired;
        if (device.empty()) return "";
        const HqStore::Enrolled* d = row(device);
        if (!d) return store + "/" + device + " is not in the register";
        if (!d->retired.empty()) return store + "/" + device + " was retired " + d->retired;
        return "";
    }
    // Whether the register holds the device, in service.
    bool lists(const std::string& store, const std::string& device) const {
        return std::any_of(rows_.begin(), rows_.end(), [&](const auto& r) {
            return r.store == store && r.device == device && r.retired.empty();
        });
    }

  private:
    std::vector<HqStore::Enrolled> rows_;
};

// A change to the register, from the command line or the API: OF is "store" or "device",
// CHANGE add, retire or rename, NAMES the store (and its device, or its new name). What it
// did ("store shop-1: retired"), or why it could not.
struct RegisterChange {
    bool done = false, badName = false;
    std::string said;
};
RegisterChange changeRegisterOf(HqStore& store, const std::string& of, const std::string& change,
                                const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (!http::goodName(name))
            return {false, true, "'" + name + "': names are letters, digits, '-' and '_'"};
    }
    const bool device = of == "device";
    const std::string what = device ? names[0] + "/" + names[1] : names[0];
    bool done = true;
    if (change == "add") {
        store.enrol(names[0], device ? names[1] : "");
    } else if (change == "retire") {
        done = store.retire(names[0], device ? names[1] : "", http::utcText(std::time(nullptr)));
    } else {
        done = store.rename(names[0], names[1]);
    }
    if (!done)
        return {
            false, false,
            what + ": " +
                (change == "rename" ? "'" + names[1] + "' is taken, or '" + names[0] + "' unknown"
                                    : std::string("not in service in the register"))};
    return {true, false,
            of + " " + what + ": " +
                (change == "add"      ? "in service"
                 : change == "retire" ? "retired"
                                      : "now " + names[1])};
}

// A message head office will not keep, with the reason; the message is dropped, said and
// counted, and a day report's shop is told so in a receipt.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "YYYY-MM-DD" of a real day within a window around today: a shop's clock may be a day ahead,
// and a report may come back after a long time offline, but not from another century.
bool plausibleDay(const std::string& day, std::time_t now) {
    int y = 0, m = 0, d = 0;
    char extra = 0;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3)
        return false;
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_hour = 12;
    const std::time_t at = timegm(&t);
    const std::tm back = http::utcTime(at);
    if (back.tm_year != y - 1900 || back.tm_mon != m - 1 || back.tm_mday != d) return false;
    return at <= now + 2 * 86400 && at >= now - 400 * 86400;
}

// "2026-12-09T14:09:18Z", or (when `empty` may be) nothing.
bool utcTimeText(const std::string& text, bool empty = false) {
    int y, mo, d, h, mi, s;
    char z = 0, extra = 0;
    if (text.empty()) return empty;
    return text.size() == 20 &&
           std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%c", &y, &mo, &d, &h, &mi, &s, &z,
                       &extra) == 7 &&
           z == 'Z';
}

// A shop's presence as it tells it: online since it connected, offline since it stopped, or
// (its last will, sent by the broker when the shop went without a word) offline since it was
// last heard from; all by the shop's own clock. Its messages are ordered by its runs and their
// numbers, so that one of a run before, or a status heard already, changes nothing.
void shopStatus(HqStore& store, const std::string& shop, const std::string& payload) {
    std::string why;
    const auto parsed = chain::readMessage(payload, why);
    if (!parsed || !parsed->is_object()) throw Refused(parsed ? "not a JSON object" : why);
    const ordered_json& doc = *parsed;
    StoreState next;
    next.store = shop;
    next.status = doc.value("state", "");
    next.since = doc.value("since", "");
    next.heard = doc.value("at", "");
    next.started = doc.value("started", "");
    next.seq = doc.value("seq", int64_t(-1));
    if ((next.status != "online" && next.status != "offline") || !utcTimeText(next.since, true) ||
        !utcTimeText(next.heard) || !utcTimeText(next.started) || next.seq < 0)
        throw Refused(
            "a status has 'state' (online or offline), 'since', 'at', 'started' and "
            "'seq'");
    if (doc.contains("devices") && doc["devices"].is_array() && doc["devices"].size() <= 256) {
        for (const auto& d : doc["devices"]) {
            if (!d.is_string() || !http::goodName(d.get<std::string>()))
                throw Refused("a status's 'devices' are names");
            next.devices.push_back(d.get<std::string>());
        }
    } else {
        throw Refused("a status has 'devices', 256 at most");
    }
    if (const auto now = store.storeState(shop); now && now->started == next.started) {
        // The last will (number 0) ends the run's connection; any other is news only when new.
        if (next.seq != 0 && next.seq <= now->seq) return;
        next.heard = std::max(next.heard, now->heard);
        next.seq = std::max(next.seq, now->seq);
    } else if (now && now->started > next.started) {
        return;
    }
    if (next.since.empty()) next.since = next.heard;
    store.shopStatus(next);
}

// A day report's counter total as whole thousandths or hundredths, never negative.
int64_t total(const ordered_json& doc, const char* key, int places) {
    int32_t amount = 0;
    const std::string text =
        doc.contains(key) && doc[key].is_string() ? doc[key].get<std::string>() : std::string();
    if (!cli::parseAmount(text, places, &amount) || amount < 0)
        throw Refused(std::string("'") + key + "' is not an amount from 0 to 21474836.47: '" +
                      text + "'");
    return amount;
}

constexpr int64_t kMostPresence = 32 * 1024, kMostResult = 64 * 1024;

// A text of an answer: a string of at most 1000 bytes (a missing one is "").
std::string answerText(const ordered_json& doc, const char* key) {
    if (!doc.contains(key) || doc[key].is_null()) return "";
    if (!doc[key].is_string() || doc[key].get_ref<const std::string&>().size() > 1000)
        throw Refused(std::string("an answer's '") + key + "' is a text of 1000 bytes at most");
    return doc[key].get<std::string>();
}

// A shop's answer under result/ID: kept only when head office sent ID (a command, or
// "promotion-" and a promotion's id) to that shop; of a promotion, only the devices it went to.
void takeResult(HqStore& store, const std::string& shop, const std::string& id,
                const ordered_json& doc, const std::string& payload) {
    const std::string ofPromotion = chain::promotionOfResult(id);
    const bool promotion = !ofPromotion.empty();
    const std::string sentId = promotion ? ofPromotion : id;
    const auto to = store.sentTo(sentId, shop);
    if (to.empty()) throw Refused("head office sent nothing under '" + sentId + "' to " + shop);
    if (!promotion) return store.commandResult(shop, id, payload);
    if (!doc.contains("devices") || !doc["devices"].is_array() || doc["devices"].size() > 256)
        throw Refused("a promotion's answer has 'devices', 256 at most");
    for (const auto& d : doc["devices"]) {
        if (!d.is_object()) throw Refused("a promotion's answer's devices are objects");
        const std::string device = answerText(d, "device");
        if (std::find(to.begin(), to.end(), device) == to.end()) continue;
        const auto stage = [&](const char* key) {
            return d.contains(key) && d[key].is_string() ? answerText(d, key) : std::string();
        };
        store.promotionState({sentId, shop, device, answerText(d, "state"), stage("start"),
                              stage("end"), answerText(d, "note")});
    }
}

// What the broker brings, into the database: each kind of message kept by its key, so that a
// message delivered twice is kept once. Price lists a device should hold are head office's own
// (recorded as it publishes them): one on the broker from anyone else changes nothing here.
// A day report, once kept (or refused), gets a receipt for its shop.
struct Receipt {
    std::string topic, payload;
    bool refused = false;
};
std::optional<Receipt> take(HqStore& store, const std::string& topic, const std::string& payload,
                            bool retained, int64_t maxMessage) {
    using chain::TopicKind;
    const chain::Topic t = chain::readTopic(topic);
    if (t.store.empty() || !http::goodName(t.store)) throw Refused("not a shop's topic");
    const std::string& shop = t.store;
    const std::time_t clock = std::time(nullptr);
    const std::string now = http::utcText(clock);
    const bool status = t.kind == TopicKind::Status;
    // Bounded before it is read: a presence names at most 256 devices; an answer is short.
    const int64_t most = status                        ? kMostPresence
                         : t.kind == TopicKind::Result ? kMostResult
                                                       : maxMessage;
    if (int64_t(payload.size()) > most)
        throw Refused(std::to_string(payload.size()) + " bytes, over " +
                      (most == maxMessage ? "max_message_bytes (" + std::to_string(most) + ")"
                                          : std::to_string(most) + " for such a message"));
    if (status) {
        if (payload == "online" || payload == "offline") {
            // A shop of an earlier version says only the word. A retained status is the
            // broker's memory, handed over at (re)subscribing: its time is not now. The same
            // status keeps the time it was heard; another is of a time unknown.
            store.storeStatus(shop, payload, now, retained);
        } else {
            shopStatus(store, shop, payload);
        }
        return std::nullopt;
    }
    std::string why;
    const auto parsed = chain::readMessage(payload, why);
    if (!parsed || !parsed->is_object()) throw Refused(parsed ? "not a JSON object" : why);
    const ordered_json& doc = *parsed;
    if (t.kind == TopicKind::Result) {
        takeResult(store, shop, t.key, doc, payload);
    } else if (t.kind == TopicKind::Reported && http::goodName(t.device)) {
        const Register enrolled(store);
        const std::string standing = enrolled.standing(shop, t.device);
        if (!standing.empty()) throw Refused(standing);
        // A device is known from its shop's presence or from the register, never from a
        // message of its own: a shop's login could otherwise make devices without end.
        const auto presence = store.storeState(shop);
        if (!enrolled.lists(shop, t.device) &&
            (!presence ||
             std::count(presence->devices.begin(), presence->devices.end(), t.device) == 0))
            throw Refused(shop + "/" + t.device +
                          " is neither in its shop's presence nor in the register");
        store.reported(shop, t.device, doc.value("version", int64_t(0)), doc.value("state", ""),
                       doc.value("detail", ""));
    } else if (t.kind == TopicKind::DayReport) {
        DayReport r;
        r.store = shop;
        r.device = t.device;
        r.businessDay = t.key;
        const auto receipt = [&](const ordered_json& word) {
            ordered_json out = {{"device", r.device}, {"business_day", r.businessDay}};
            out.update(word);
            return Receipt{chain::receiptTopic(shop, r.device, r.businessDay), http::safeDump(out),
                           word["state"] == "refused"};
        };
        r.version = doc.value("version", int64_t(0));
        try {
            if (!http::goodName(r.device)) throw Refused("the device's name is not a name");
            const std::string standing = Register(store).standing(shop, r.device);
            if (!standing.empty()) throw Refused(standing);
            if (!plausibleDay(r.businessDay, clock))
                throw Refused("the business day '" + r.businessDay +
                              "' is not a day of the last 400");
            if (doc.value("store", "") != shop || doc.value("device", "") != r.device ||
                doc.value("business_day", "") != r.businessDay)
                throw Refused("the report names another store, device or day than its topic");
            if (!doc.contains("rows") || !doc["rows"].is_array() || !doc.contains("reports") ||
                !doc["reports"].is_array())
                throw Refused("a day report has 'reports' and 'rows'");
            r.articles = int64_t(doc["rows"].size());
            r.reports = int64_t(doc["reports"].size());
            // Amounts as whole thousandths and hundredths, whatever decimals the text has.
            r.quantity = total(doc, "quantity", 3);
            r.value = total(doc, "value", 2);
        } catch (const Refused& e) {
            std::fprintf(stderr, "velko hq: %s refused: %s\n", topic.c_str(), e.what());
            return receipt({{"version", r.version}, {"state", "refused"}, {"reason", e.what()}});
        }
        r.received = now;
        store.dayReport(r, payload);
        return receipt({{"version", r.version}, {"state", "stored"}});
    } else {
        throw Refused("not a message head office reads");
    }
    return std::nullopt;
}

// A price list as a device's desired list: every article.
std::string wholeList(int64_t version, const std::string& checksum, const ordered_json& articles) {
    return ordered_json{{"version", version}, {"checksum", checksum}, {"articles", articles}}
        .dump();
}

// What the broker brings, into the database. The client acknowledges a message to the broker
// before it is kept, so messages the database did not take (PostgreSQL restarting, say) wait
// here, in the order they came, and are tried again every few seconds. None is lost for good:
// a day report leaves its shop only with head office's receipt, sent once it is kept.
class Reader {
  public:
    Reader(HqStore& store, int64_t maxMessage)
        : store_(store), maxMessage_(maxMessage), retrier_([this] { retry(); }) {}
    ~Reader() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        retrier_.join();
        drain();  // a last try
        if (!waiting_.empty())
            std::fprintf(stderr,
                         "velko hq: %zu messages the database did not take are left; the shops "
                         "send their day reports again, having no receipt for them\n",
                         waiting_.size());
    }
    void message(const std::string& topic, const std::string& payload, bool retained) {
        std::lock_guard<std::mutex> lock(mutex_);
        // Bounded while the database is away: the shops send again what has no receipt.
        if (waiting_.size() >= kMostWaiting)
            return refuse(topic, "the database is away and " + std::to_string(kMostWaiting) +
                                     " messages wait already");
        waiting_.push_back({topic, payload, retained});
        count_ = waiting_.size();
        if (waiting_.size() == 1) drain();
    }
    // Read without the lock, which a slow database may hold.
    size_t waiting() const { return count_; }
    size_t refused() const { return refused_; }
    std::string lastRefused() {
        std::lock_guard<std::mutex> lock(refusalMutex_);
        return lastRefused_;
    }
    std::atomic<bool> connected{false};
    std::atomic<mosquitto*> client{nullptr};  // where receipts go
    chain::MqttLoop* loop = nullptr;
    // At each connection: a broker that restarted without its retained lists (or with old
    // ones) would leave devices behind for good, so each device behind gets its list again,
    // whole.
    void connectedNow() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            republish_ = true;
        }
        wake_.notify_all();
    }

  private:
    static constexpr size_t kMostWaiting = 10000;

    void refuse(const std::string& topic, const std::string& why) {
        ++refused_;
        std::fprintf(stderr, "velko hq: %s refused: %s\n", topic.c_str(), why.c_str());
        std::lock_guard<std::mutex> lock(refusalMutex_);
        lastRefused_ = topic + ": " + why;
    }

    // Under the lock: takes what waits, in order, until the database fails. A message that is
    // not as head office reads it is said and dropped: it would fail the same way for ever.
    void drain() {
        while (!waiting_.empty()) {
            const auto& [topic, payload, retained] = waiting_.front();
            try {
                const auto receipt = take(store_, topic, payload, retained, maxMessage_);
                if (receipt && receipt->refused) ++refused_;
                if (receipt && client)
                    mosquitto_publish(client, nullptr, receipt->topic.c_str(),
                                      int(receipt->payload.size()), receipt->payload.data(), 1,
                                      false);
            } catch (const StoreError& e) {
                if (!failing_)
                    std::fprintf(stderr, "velko hq: kept to try again: %s: %s\n", topic.c_str(),
                                 e.what());
                failing_ = true;
                return;
            } catch (const std::exception& e) {
                refuse(topic, e.what());
                // A retained message refused would come back at every subscription, and stay
                // on the broker for good: it is cleared (an empty retained message).
                if (retained && client)
                    mosquitto_publish(client, nullptr, topic.c_str(), 0, nullptr, 1, true);
            }
            if (failing_) std::fprintf(stderr, "velko hq: the database takes messages again\n");
            failing_ = false;
            waiting_.pop_front();
            count_ = waiting_.size();
        }
    }
    void retry() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            wake_.wait_for(lock, std::chrono::seconds(3));
            drain();
            if (republish_ && !failing_) republish_ = !republishBehind();
        }
    }
    // Under the lock; false when the database could not say.
    bool republishBehind() {
        try {
            const Register enrolled(store_);
            for (const DeviceState& d : store_.devices()) {
                if (d.desired == 0 || (d.reported >= d.desired && d.state == "verified") ||
                    !enrolled.standing(d.store, d.device).empty())
                    continue;
                const auto list = store_.priceList(d.desired);
                if (!list || !client) continue;
                const std::string topic = chain::desiredTopic(d.store, d.device);
                const std::string payload =
                    wholeList(d.desired, list->checksum, ordered_json::parse(list->articles));
                mosquitto_publish(client, nullptr, topic.c_str(), int(payload.size()),
                                  payload.data(), 1, true);
            }
            return true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velko hq: the lists of devices behind are not sent again: %s\n",
                         e.what());
            return false;
        }
    }

    HqStore& store_;
    const int64_t maxMessage_;
    std::mutex mutex_, refusalMutex_;
    std::condition_variable wake_;
    struct Message {
        std::string topic, payload;
        bool retained;
    };
    std::deque<Message> waiting_;
    std::atomic<size_t> count_{0}, refused_{0};
    std::string lastRefused_;
    bool failing_ = false, stopping_ = false, republish_ = false;
    std::thread retrier_;
};

void onMessage(mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<Reader*>(self)->message(
        m->topic, std::string(static_cast<const char*>(m->payload), size_t(m->payloadlen)),
        m->retain);
}

void onDisconnect(mosquitto*, void* self, int) {
    static_cast<Reader*>(self)->connected = false;
}

void onConnect(mosquitto* client, void* self, int rc) {
    auto& reader = *static_cast<Reader*>(self);
    reader.connected = rc == 0;
    if (reader.loop) reader.loop->connected();
    if (rc != 0) {
        std::fprintf(stderr, "velko hq: the broker refused: %s\n", mosquitto_connack_string(rc));
        return;
    }
    reader.connectedNow();
    // Shared among the head offices that read the chain: each message goes to one of them.
    // (Subscriptions of their own, which sessions of before may hold, would bring it to all.)
    for (const std::string& filter : chain::formerHeadOfficeFilters())
        mosquitto_unsubscribe(client, nullptr, filter.c_str());
    for (const std::string& filter : chain::headOfficeFilters())
        mosquitto_subscribe(client, nullptr, filter.c_str(), 1);
}

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

// A short connection to the broker for the command line: published messages are waited for
// until the broker acknowledges them, and messages on the topics subscribed to are kept.
class BrokerSession {
  public:
    using Clock = std::chrono::steady_clock;

    BrokerSession(const chain::BrokerConfig& broker, const std::string& id)
        : broker_(broker), client_(chain::makeMqttClient(broker, id, true, this)) {
        mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
            static_cast<BrokerSession*>(self)->update(
                [&](BrokerSession& s) { (rc == 0 ? s.connected_ : s.refused_) = true; });
        });
        mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int) {
            static_cast<BrokerSession*>(self)->update(
                [](BrokerSession& s) { --s.unacknowledged_; });
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<BrokerSession*>(self)->update(
                [](BrokerSession& s) { --s.unacknowledged_; });
        });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self,
                                                   const mosquitto_message* m) {
            const std::string payload(static_cast<const char*>(m->payload), size_t(m->payloadlen));
            static_cast<BrokerSession*>(self)->update(
                [&](BrokerSession& s) { s.received_.emplace_back(m->topic, payload); });
        });
        mosquitto_loop_start(client_);
    }
    ~BrokerSession() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    BrokerSession(const BrokerSession&) = delete;
    BrokerSession& operator=(const BrokerSession&) = delete;

    // False, having said why, when the broker cannot be reached or refuses.
    bool connect() {
        const int rc = mosquitto_connect_async(client_, broker_.host.c_str(), broker_.port, 30);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "velko hq: the broker %s:%d could not be reached: %s\n",
                         broker_.host.c_str(), broker_.port, mosquitto_strerror(rc));
            return false;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_for(lock, std::chrono::seconds(30),
                              [&] { return connected_ || refused_; }) &&
            connected_)
            return true;
        std::fprintf(stderr, "velko hq: the broker %s:%d %s\n", broker_.host.c_str(), broker_.port,
                     refused_ ? "refused head office" : "could not be reached");
        return false;
    }
    // Subscribes (QoS 1) and waits for the broker to confirm; false when it did not.
    bool subscribe(const std::string& topic) {
        begin(1);
        mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
        return acknowledged(Clock::now() + std::chrono::seconds(30));
    }
    // Publishes each (topic, payload) with QoS 1; true when the broker acknowledged them all.
    bool publish(const std::vector<std::pair<std::string, std::string>>& messages, bool retain) {
        begin(int(messages.size()));
        for (const auto& [topic, payload] : messages) {
            const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), int(payload.size()),
                                             payload.data(), 1, retain);
            if (rc != MOSQ_ERR_SUCCESS) {
                std::fprintf(stderr, "velko hq: %s: %s\n", topic.c_str(), mosquitto_strerror(rc));
                return false;
            }
        }
        return acknowledged(Clock::now() + std::chrono::seconds(60));
    }
    // Hands each message that came to `take` (from this thread) until `take` says it has all
    // it waits for, or `until`; true when it has.
    bool receive(Clock::time_point until,
                 const std::function<bool(const std::string&, const std::string&)>& take) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            while (!received_.empty()) {
                const auto [topic, payload] = received_.front();
                received_.pop_front();
                lock.unlock();
                const bool done = take(topic, payload);
                lock.lock();
                if (done) return true;
            }
            if (changed_.wait_until(lock, until) == std::cv_status::timeout && received_.empty())
                return false;
        }
    }

  private:
    template <typename Change>
    void update(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(*this);
        changed_.notify_all();
    }
    void begin(int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        unacknowledged_ = count;
    }
    bool acknowledged(Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, until, [&] { return unacknowledged_ <= 0; });
    }

    chain::BrokerConfig broker_;
    mosquitto* client_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false, refused_ = false;
    int unacknowledged_ = 0;
    std::deque<std::pair<std::string, std::string>> received_;
};

}  // namespace

int runHq(const HqOptions& options) {
    http::prepareStop();
    http::privateFiles();
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    std::unique_ptr<HqStore> store;
    try {
        store = openStore(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    Reader reader(*store, config.maxMessage);
    mosquitto* client = nullptr;
    try {
        // A session the broker keeps: day reports that come while head office is away wait.
        client = chain::makeMqttClient(config.broker, config.clientId, false, &reader);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    mosquitto_connect_callback_set(client, onConnect);
    mosquitto_disconnect_callback_set(client, onDisconnect);
    mosquitto_message_callback_set(client, onMessage);
    reader.client = client;
    auto loop = std::make_unique<chain::MqttLoop>(client, config.broker);
    reader.loop = loop.get();
    loop->start();
    const auto stopBroker = [&] {
        loop.reset();
        reader.client = nullptr;
        mosquitto_destroy(client);
    };

    // Head office's API as a table: each route's path (a pattern of the HTTP library's),
    // whether it needs a token, the query parameters it takes, and its answer.
    const auto jsonBody = [](httplib::Response& res, int status, const ordered_json& body) {
        res.status = status;
        res.set_content(http::safeDump(body, 2), "application/json");
    };
    // Who may: anyone, any token, or an operate token (changes to the register).
    enum class Need { Nothing, Token, Operate };
    struct Route {
        const char* method;
        const char* pattern;
        Need need;
        std::vector<const char*> params;
        std::function<void(const httplib::Request&, httplib::Response&)> answer;
    };
    const auto changeRegister = [&](httplib::Response& res, const std::string& of,
                                    const std::string& change,
                                    const std::vector<std::string>& names) {
        const RegisterChange done = changeRegisterOf(*store, of, change, names);
        jsonBody(res,
                 done.done      ? 200
                 : done.badName ? 400
                                : 409,
                 {{done.done ? "done" : "error", done.said}});
    };
    const std::vector<Route> routes = {
        {"GET",
         "/api/health",
         Need::Nothing,
         {},
         [&](const httplib::Request&, httplib::Response& res) {
             jsonBody(res, 200,
                      {{"status", "up"},
                       {"version", VELKO_VERSION_STRING},
                       {"broker", reader.connected.load()},
                       {"broker_problem", reader.connected ? "" : loop->problem()},
                       {"waiting", reader.waiting()},
                       {"refused", reader.refused()},
                       {"last_refused", reader.lastRefused()}});
         }},
        {"GET",
         "/api/status",
         Need::Token,
         {"store", "state", "limit", "offset"},
         [&](const httplib::Request& req, httplib::Response& res) {
             HqStore::Page page;
             page.store = req.get_param_value("store");
             page.state = req.get_param_value("state");
             const auto number = [&](const char* name, int64_t fallback, int64_t most) {
                 const std::string text = req.get_param_value(name);
                 char* end = nullptr;
                 const long long n = text.empty() ? fallback : std::strtoll(text.c_str(), &end, 10);
                 return (text.empty() || *end == '\0') && n >= 0 && n <= most ? n : -1;
             };
             page.limit = number("limit", 1000, 10000);
             page.offset = number("offset", 0, 1LL << 40);
             if (page.limit < 1 || page.offset < 0)
                 return jsonBody(res, 400,
                                 {{"error", "'limit' is 1 to 10000, 'offset' 0 or more"}});
             jsonBody(res, 200, statusJson(*store, page));
         }},
        {"GET",
         "/api/reports",
         Need::Token,
         {"day"},
         [&](const httplib::Request& req, httplib::Response& res) {
             const std::string day = req.get_param_value("day");
             int y, m, d;
             char extra;
             if (day.size() != 10 ||
                 std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3)
                 return jsonBody(res, 400, {{"error", "'day' must be a date, as 2026-12-08"}});
             jsonBody(res, 200, reportsJson(*store, day));
         }},
        {"GET",
         "/api/sales",
         Need::Token,
         {"from", "to"},
         [&](const httplib::Request& req, httplib::Response& res) {
             ordered_json rows = ordered_json::array();
             for (const auto& s :
                  store->sales(req.get_param_value("from"), req.get_param_value("to"))) {
                 rows.push_back({{"store", s.store},
                                 {"business_day", s.businessDay},
                                 {"quantity", formatAmount(s.quantity, 3)},
                                 {"value", formatAmount(s.value, 2)}});
             }
             jsonBody(res, 200, {{"rows", rows}});
         }},
        {"GET",
         R"(/api/commands/([A-Za-z0-9_.:-]+))",
         Need::Token,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             ordered_json answers = ordered_json::object();
             std::string why;
             for (const auto& [shop, payload] : store->commandResults(req.matches[1].str()))
                 answers[shop] = chain::readMessage(payload, why).value_or(ordered_json());
             jsonBody(res, 200, {{"id", req.matches[1].str()}, {"answers", answers}});
         }},
        // The page: the files built in, open to all (they hold no data).
        // The register of the chain, as IT keeps it; changed with an operate token.
        {"GET",
         "/api/register",
         Need::Token,
         {},
         [&](const httplib::Request&, httplib::Response& res) {
             ordered_json rows = ordered_json::array();
             for (const HqStore::Enrolled& e : store->enrolled())
                 rows.push_back({{"store", e.store}, {"device", e.device}, {"retired", e.retired}});
             jsonBody(res, 200, {{"register", rows}});
         }},
        {"POST",
         "/api/register/([^/]+)",
         Need::Operate,
         {"rename"},
         [&](const httplib::Request& req, httplib::Response& res) {
             if (req.has_param("rename"))
                 return changeRegister(res, "store", "rename",
                                       {req.matches[1].str(), req.get_param_value("rename")});
             changeRegister(res, "store", "add", {req.matches[1].str()});
         }},
        {"DELETE",
         "/api/register/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "store", "retire", {req.matches[1].str()});
         }},
        {"POST",
         "/api/register/([^/]+)/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "device", "add", {req.matches[1].str(), req.matches[2].str()});
         }},
        {"DELETE",
         "/api/register/([^/]+)/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "device", "retire", {req.matches[1].str(), req.matches[2].str()});
         }},
        {"GET",
         R"(/([A-Za-z0-9_.-]*))",
         Need::Nothing,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             const std::string name =
                 req.matches[1].str().empty() ? "index.html" : req.matches[1].str();
             const http::EmbeddedFile* file = pageFile(name);
             if (!file || name[0] == '.') return jsonBody(res, 404, {{"error", "no such page"}});
             res.set_content(reinterpret_cast<const char*>(file->data), file->size,
                             http::contentTypeOf(name));
         }},
    };
    http::Server web(config.front.limits);
    // No request to head office has a body to read, and none is read.
    web.set_payload_max_length(0);
    web.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        for (const auto& header : http::securityHeaders())
            res.set_header(header.first, header.second);
        const std::string host = req.get_header_value("Host");
        if (!http::allowedHost(host, config.front.allowedHosts))
            jsonBody(res, 421,
                     {{"error", "head office is not reached by the name '" + host + "'"}});
        else if (std::none_of(routes.begin(), routes.end(),
                              [&](const Route& r) { return req.method == r.method; }) &&
                 req.method != "HEAD")
            jsonBody(res, 405, {{"error", "head office's API takes no " + req.method}});
        else if ((req.has_header("Content-Length") &&
                  req.get_header_value("Content-Length") != "0") ||
                 req.has_header("Transfer-Encoding"))
            jsonBody(res, 413, {{"error", "head office's API takes no body"}});
        else
            return httplib::Server::HandlerResponse::Unhandled;
        return httplib::Server::HandlerResponse::Handled;
    });
    for (const Route& route : routes) {
        const auto handler = [&](const httplib::Request& req, httplib::Response& res) {
            const http::Token* token =
                http::tokenFor(config.tokens, req.get_header_value("Authorization"));
            if (route.need != Need::Nothing && !token)
                return jsonBody(res, 401, {{"error", "this needs 'Authorization: Bearer TOKEN'"}});
            if (route.need == Need::Operate && token->role != http::Role::Operate)
                return jsonBody(res, 403,
                                {{"error", "changing the register needs an operate token"}});
            for (const auto& param : req.params) {
                const std::string& name = param.first;  // a lambda cannot take a structured binding
                if (std::none_of(route.params.begin(), route.params.end(),
                                 [&](const char* p) { return name == p; }))
                    return jsonBody(res, 400,
                                    {{"error", "'" + name + "' is not a parameter here"}});
            }
            route.answer(req, res);
        };
        const std::string method = route.method;
        if (method == "GET") web.Get(route.pattern, handler);
        if (method == "POST") web.Post(route.pattern, handler);
        if (method == "DELETE") web.Delete(route.pattern, handler);
    }
    const int port = web.bindAlone(config.host, config.port);
    if (port < 0) {
        std::fprintf(stderr,
                     "velko hq: cannot listen on %s:%d: another program has the port, or the "
                     "address is not this machine's\n",
                     config.host.c_str(), config.port);
        stopBroker();
        return 2;
    }
    std::thread server([&] { web.listen_after_bind(); });
    std::printf("velko hq: listening on http://%s:%d/\n", config.host.c_str(), port);
    std::fflush(stdout);
    http::waitForStop();
    web.stopServing();
    server.join();
    stopBroker();
    return 0;
}

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
    cli::writeArticles(articles, cli::Format::Json, records, *cli::makeTextCodec());
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

namespace {
std::string commandId();
}  // namespace

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
    std::vector<cli::Fault> faults;
    cli::loadArticleFile(options.file, cli::RowUse::Upload, *cli::makeTextCodec(), records, faults);
    if (!faults.empty()) {
        for (const auto& f : faults)
            std::fprintf(stderr, "velko hq: %s\n", cli::describe(f).c_str());
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

namespace {

// A command's id: unique across head office's runs, and telling when it was sent.
std::string commandId() {
    char when[32];
    const std::tm t = http::utcTime(std::time(nullptr));
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &t);
    char tail[16];
    std::snprintf(tail, sizeof tail, "%08x", unsigned(std::random_device()()));
    return std::string("hq-") + when + "-" + tail;
}

// A field of a shop's answer as text, whatever the shop put there.
std::string field(const ordered_json& j, const char* key) {
    if (!j.is_object() || !j.contains(key)) return "";
    const auto& v = j[key];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

ordered_json jobsOf(const ordered_json& answer) {
    return answer.contains("jobs") && answer["jobs"].is_array() ? answer["jobs"]
                                                                : ordered_json::array();
}

// Whether a shop ran the command and every job of it ended well.
bool answeredWell(const ordered_json& answer) {
    const auto jobs = jobsOf(answer);
    if (answer.contains("resent")) return !answer.contains("error");
    return !answer.contains("error") && !jobs.empty() &&
           std::all_of(jobs.begin(), jobs.end(),
                       [](const ordered_json& job) { return field(job, "state") == "done"; });
}

// One store's answer as lines for a person.
void describeAnswer(const std::string& shop, const ordered_json& answer) {
    if (answer.contains("error"))
        std::printf("%-20s %s\n", shop.c_str(), field(answer, "error").c_str());
    if (answer.contains("resent") && answer["resent"].is_array()) {
        for (const auto& device : answer["resent"])
            std::printf("%-20s %-12s %s sent again\n", shop.c_str(),
                        device.is_string() ? device.get<std::string>().c_str() : "",
                        field(answer, "business_day").c_str());
    }
    for (const auto& job : jobsOf(answer)) {
        const std::string detail = job.contains("outcome") ? field(job["outcome"], "detail") : "";
        std::printf("%-20s %-12s %-10s %s\n", shop.c_str(), field(job, "device").c_str(),
                    field(job, "state").c_str(), detail.c_str());
    }
}

}  // namespace

int sendCommand(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    std::vector<int> numbers;
    std::string problem;
    if (!options.numbers.empty() &&
        (options.command != "scan" || !cli::parseDeviceList(options.numbers, numbers, problem))) {
        std::fprintf(stderr, "velko hq: --numbers%s\n",
                     problem.empty() ? " is for scan" : (": " + problem).c_str());
        return 2;
    }
    try {
        std::vector<std::string> stores;
        for (const std::string& shop : options.stores) {
            if (!http::goodName(shop)) {
                std::fprintf(stderr,
                             "velko hq: --store %s: a store's name is letters, digits, "
                             "'-' and '_'\n",
                             shop.c_str());
                return 2;
            }
            if (std::find(stores.begin(), stores.end(), shop) == stores.end())
                stores.push_back(shop);
        }
        auto store = openStore(config);
        if (stores.empty()) {
            for (const StoreState& s : store->stores()) stores.push_back(s.store);
        }
        if (stores.empty()) {
            std::fprintf(stderr,
                         "velko hq: no store to send to: none is known yet, and none was named "
                         "with --store\n");
            return 2;
        }
        const bool dated = options.command == "close-day" || options.command == "resend";
        if ((!options.day.empty() && (!dated || !plausibleDay(options.day, std::time(nullptr)))) ||
            (options.command == "resend" && options.day.empty())) {
            std::fprintf(stderr,
                         "velko hq: --day names a business day (YYYY-MM-DD) of the last 400, for "
                         "close-day and (required) resend\n");
            return 2;
        }
        // A command that waited at the broker for a shop that was away is not run late: a
        // close of day sent at night would close the next day in the morning.
        ordered_json body = {
            {"command", options.command},
            {"expires", http::utcText(std::time(nullptr) + 60 * options.expiresMinutes)}};
        if (!options.day.empty()) body["business_day"] = options.day;
        if (!options.devices.empty()) body["devices"] = options.devices;
        if (!options.numbers.empty()) body["numbers"] = options.numbers;
        const std::string id = commandId();
        BrokerSession broker(config.toolBroker(), "velko-" + id);
        // Subscribed before sending, so that no answer is missed.
        if (!broker.connect() || !broker.subscribe(chain::resultsFilter(id))) {
            std::fprintf(stderr, "velko hq: the command was not sent\n");
            return 1;
        }
        std::vector<std::pair<std::string, std::string>> messages, to;
        for (const std::string& shop : stores) {
            messages.emplace_back(chain::commandTopic(shop, id), body.dump());
            to.emplace_back(shop, "");
        }
        // Recorded before it goes: head office keeps the answers only to what it sent.
        store->sent(id, "command", to, http::utcText(std::time(nullptr)));
        if (!broker.publish(messages, false)) {
            std::fprintf(stderr,
                         "velko hq: the broker did not acknowledge the command to every "
                         "store\n");
            return 1;
        }
        if (!options.json)
            std::printf("command %s sent to %zu store%s\n", id.c_str(), stores.size(),
                        stores.size() == 1 ? "" : "s");
        std::fflush(stdout);
        std::map<std::string, ordered_json> answers;
        bool good = true;
        broker.receive(BrokerSession::Clock::now() + std::chrono::seconds(options.waitSeconds),
                       [&](const std::string& topic, const std::string& payload) {
                           const chain::Topic t = chain::readTopic(topic);
                           std::string why;
                           const ordered_json answer =
                               chain::readMessage(payload, why).value_or(ordered_json());
                           if (t.kind != chain::TopicKind::Result || !answer.is_object() ||
                               std::find(stores.begin(), stores.end(), t.store) == stores.end())
                               return false;
                           if (answers.emplace(t.store, answer).second) {
                               good = answeredWell(answer) && good;
                               if (!options.json) describeAnswer(t.store, answer);
                               std::fflush(stdout);
                           }
                           return answers.size() == stores.size();
                       });
        std::vector<std::string> waiting;
        for (const std::string& shop : stores) {
            if (!answers.count(shop)) waiting.push_back(shop);
        }
        if (options.json) {
            ordered_json all = ordered_json::object();
            for (const auto& [shop, answer] : answers) all[shop] = answer;
            std::printf(
                "%s\n",
                http::safeDump({{"id", id}, {"answers", all}, {"waiting", waiting}}, 2).c_str());
        } else {
            for (const std::string& shop : waiting)
                std::printf(
                    "%-20s no answer within %d s: the shop runs it when it connects; head "
                    "office keeps the answer (GET /api/commands/%s)\n",
                    shop.c_str(), options.waitSeconds, id.c_str());
        }
        return good && waiting.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int printStatus(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const ordered_json status = statusJson(*store, {"", "", 1LL << 40, 0});
        if (options.json) {
            std::printf("%s\n", http::safeDump(status, 2).c_str());
            return 0;
        }
        // What stands out, in brackets after the line: not in service, behind, not announced.
        const auto notes = [](const ordered_json& row) {
            std::string out;
            const auto note = [&](const std::string& text) { out += "  (" + text + ")"; };
            if (!row["standing"].get<std::string>().empty()) note(row["standing"]);
            if (row.value("behind", false)) note("behind");
            if (row.contains("announced") && row["announced"] == false)
                note("not announced by its shop");
            return out;
        };
        for (const auto& s : status["stores"])
            std::printf("%-20s %s since %s%s\n", s["store"].get<std::string>().c_str(),
                        s["status"].get<std::string>().c_str(),
                        s["since"].get<std::string>().c_str(), notes(s).c_str());
        std::printf("\n%-20s %-12s %8s %8s  %s\n", "store", "device", "desired", "reported",
                    "state");
        for (const auto& d : status["devices"])
            std::printf("%-20s %-12s %8lld %8lld  %s%s\n", d["store"].get<std::string>().c_str(),
                        d["device"].get<std::string>().c_str(),
                        (long long)d["desired"].get<int64_t>(),
                        (long long)d["reported"].get<int64_t>(),
                        d["state"].get<std::string>().c_str(), notes(d).c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int changeRegister(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const RegisterChange done =
            changeRegisterOf(*store, options.registerOf, options.change, options.names);
        if (!done.done) {
            std::fprintf(stderr, "velko hq: %s\n", done.said.c_str());
            return done.badName ? 2 : 1;
        }
        std::printf("%s\n", done.said.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int migrate(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    if (!config.database.empty() || !isPostgresUrl(options.to)) {
        std::fprintf(stderr,
                     "velko hq: migrate copies head office's SQLite database (a "
                     "configuration without 'database') to --to postgresql://...\n");
        return 2;
    }
    try {
        auto from = openStore(config);
        HqStore to(options.to);
        const size_t rows = from->copyInto(to);
        std::printf("%zu rows copied; set database = \"%s\" in %s and restart head office\n", rows,
                    options.to.c_str(), options.config.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int printReports(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const ordered_json reports = reportsJson(*store, options.day);
        // A day some devices have not reported is not a success for a script to pass over.
        const int status = reports["missing"].empty() ? 0 : 1;
        if (options.json) {
            std::printf("%s\n", http::safeDump(reports, 2).c_str());
            return status;
        }
        std::printf("%-20s %-12s %8s %8s %12s %12s\n", "store", "device", "reports", "articles",
                    "quantity", "value");
        for (const auto& r : reports["reports"])
            std::printf(
                "%-20s %-12s %8lld %8lld %12s %12s\n", r["store"].get<std::string>().c_str(),
                r["device"].get<std::string>().c_str(), (long long)r["reports"].get<int64_t>(),
                (long long)r["articles"].get<int64_t>(), r["quantity"].get<std::string>().c_str(),
                r["value"].get<std::string>().c_str());
        for (const auto& m : reports["missing"])
            std::printf("%-20s %-12s missing\n", m["store"].get<std::string>().c_str(),
                        m["device"].get<std::string>().c_str());
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

}  // namespace velko::hq
