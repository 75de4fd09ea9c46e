// What the broker brings head office: each message checked, then stored; a day report's
// receipt, and a refused retained message cleared.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "chain/broker.h"
#include "hq/hq_store.h"

namespace velko::hq {

using nlohmann::ordered_json;

// A message head office will not keep, with the reason; the message is dropped, said and
// counted, and a day report's shop is told so in a receipt.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "YYYY-MM-DD" of a real day within a window around today: a shop's clock may be a day ahead,
// and a report may come back after a long time offline, but not from another century.
bool plausibleDay(const std::string& day, std::time_t now);

// What the broker brings, into the database: each kind of message kept by its key, so that a
// message delivered twice is kept once. Price lists a device should hold are head office's own
// (recorded as it publishes them): one on the broker from anyone else changes nothing here.
// A day report, once kept (or refused), gets a receipt for its shop.
struct Receipt {
    std::string topic, payload;
    bool refused = false;
};

std::optional<Receipt> take(HqStore& store, const std::string& topic, const std::string& payload,
                            bool retained, int64_t maxMessage);

// A price list as a device's desired list: every article.
std::string wholeList(int64_t version, const std::string& checksum, const ordered_json& articles);

// What the broker brings, into the database. The client acknowledges a message to the broker
// before it is kept, so messages the database did not take (PostgreSQL restarting, say) wait
// here, in the order they came, and are tried again every few seconds. None is lost for good:
// a day report leaves its shop only with head office's receipt, sent once it is kept.
class Reader {
  public:
    Reader(HqStore& store, int64_t maxMessage)
        : store_(store), maxMessage_(maxMessage), retrier_([this] { retry(); }) {}
    ~Reader();
    void message(const std::string& topic, const std::string& payload, bool retained);
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
    void connectedNow();

  private:
    static constexpr size_t kMostWaiting = 10000;

    void refuse(const std::string& topic, const std::string& why);

    // Under the lock: takes what waits, in order, until the database fails. A message that is
    // not as head office reads it is said and dropped: it would fail the same way for ever.
    void drain();
    void retry();
    // Under the lock; false when the database could not say.
    bool republishBehind();

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

// The broker's calls for head office's reading session; `self` is its Reader.
void onMessage(mosquitto*, void* self, const mosquitto_message* m);
void onDisconnect(mosquitto*, void* self, int);
void onConnect(mosquitto* client, void* self, int rc);

}  // namespace velko::hq
