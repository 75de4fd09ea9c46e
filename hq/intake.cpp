#include "hq/intake.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/topics.h"
#include "device/amount.h"
#include "files/validate.h"
#include "hq/config.h"
#include "hq/hq_store.h"
#include "hq/register.h"
#include "http/guard.h"
#include "http/host.h"
#include "http/moments.h"

namespace velko::hq {

namespace {

// A field of a shop's message of the type head office reads it as, else "" or `fallback`: a field
// of another type is the shop's fault, said where it matters, never an exception here.
std::string textOf(const ordered_json& doc, const char* key) {
    return doc.contains(key) && doc[key].is_string() ? doc[key].get<std::string>() : "";
}
int64_t integerOf(const ordered_json& doc, const char* key, int64_t fallback) {
    return doc.contains(key) && doc[key].is_number_integer() ? doc[key].get<int64_t>() : fallback;
}

}  // namespace

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
    next.status = textOf(doc, "state");
    next.since = textOf(doc, "since");
    next.heard = textOf(doc, "at");
    next.started = textOf(doc, "started");
    next.seq = integerOf(doc, "seq", -1);
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
    if (!files::parseAmount(text, places, &amount) || amount < 0)
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
        store.reported(shop, t.device, integerOf(doc, "version", 0), textOf(doc, "state"),
                       textOf(doc, "detail"));
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
        r.version = integerOf(doc, "version", 0);
        try {
            if (!http::goodName(r.device)) throw Refused("the device's name is not a name");
            if (!doc.contains("version") || !doc["version"].is_number_integer())
                throw Refused("a day report's 'version' is a whole number");
            const std::string standing = Register(store).standing(shop, r.device);
            if (!standing.empty()) throw Refused(standing);
            if (!plausibleDay(r.businessDay, clock))
                throw Refused("the business day '" + r.businessDay +
                              "' is not a day of the last 400");
            if (textOf(doc, "store") != shop || textOf(doc, "device") != r.device ||
                textOf(doc, "business_day") != r.businessDay)
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

Reader::~Reader() {
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

void Reader::message(const std::string& topic, const std::string& payload, bool retained) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Bounded while the database is away: the shops send again what has no receipt.
    if (waiting_.size() >= kMostWaiting)
        return refuse(topic, "the database is away and " + std::to_string(kMostWaiting) +
                                 " messages wait already");
    waiting_.push_back({topic, payload, retained});
    count_ = waiting_.size();
    if (waiting_.size() == 1) drain();
}

void Reader::connectedNow() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        republish_ = true;
    }
    wake_.notify_all();
}

void Reader::refuse(const std::string& topic, const std::string& why) {
    ++refused_;
    std::fprintf(stderr, "velko hq: %s refused: %s\n", topic.c_str(), why.c_str());
    std::lock_guard<std::mutex> lock(refusalMutex_);
    lastRefused_ = topic + ": " + why;
}

void Reader::drain() {
    while (!waiting_.empty()) {
        const auto& [topic, payload, retained] = waiting_.front();
        try {
            const auto receipt = take(store_, topic, payload, retained, maxMessage_);
            if (receipt && receipt->refused) ++refused_;
            if (receipt && client)
                mosquitto_publish(client, nullptr, receipt->topic.c_str(),
                                  int(receipt->payload.size()), receipt->payload.data(), 1, false);
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

void Reader::retry() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::seconds(3));
        drain();
        if (republish_ && !failing_) republish_ = !republishBehind();
    }
}

bool Reader::republishBehind() {
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
            mosquitto_publish(client, nullptr, topic.c_str(), int(payload.size()), payload.data(),
                              1, true);
        }
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: the lists of devices behind are not sent again: %s\n",
                     e.what());
        return false;
    }
}

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

}  // namespace velko::hq
