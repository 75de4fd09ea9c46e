// Head office's command line on the broker: a short session, and the ids of what it sends.
#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "chain/broker.h"

namespace velko::hq {

using nlohmann::ordered_json;

// A short connection to the broker for the command line: published messages are waited for
// until the broker acknowledges them, and messages on the topics subscribed to are kept.
class BrokerSession {
  public:
    using Clock = std::chrono::steady_clock;

    BrokerSession(const chain::BrokerConfig& broker, const std::string& id);
    ~BrokerSession() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    BrokerSession(const BrokerSession&) = delete;
    BrokerSession& operator=(const BrokerSession&) = delete;

    // False, having said why, when the broker cannot be reached or refuses.
    bool connect();
    // Subscribes (QoS 1) and waits for the broker to confirm; false when it did not.
    bool subscribe(const std::string& topic) {
        begin(1);
        mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
        return acknowledged(Clock::now() + std::chrono::seconds(30));
    }
    // Publishes each (topic, payload) with QoS 1; true when the broker acknowledged them all.
    bool publish(const std::vector<std::pair<std::string, std::string>>& messages, bool retain);
    // Hands each message that came to `take` (from this thread) until `take` says it has all
    // it waits for, or `until`; true when it has.
    bool receive(Clock::time_point until,
                 const std::function<bool(const std::string&, const std::string&)>& take);

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

// A command's id: unique across head office's runs, and telling when it was sent.
std::string commandId();

}  // namespace velko::hq
