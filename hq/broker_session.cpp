#include "hq/broker_session.h"

#include <cstdio>
#include <ctime>
#include <random>

#include "http/moments.h"

namespace velko::hq {

BrokerSession::BrokerSession(const chain::BrokerConfig& broker, const std::string& id)
    : broker_(broker), client_(chain::makeMqttClient(broker, id, true, this)) {
    mosquitto_connect_callback_set(client_, [](mosquitto*, void* self, int rc) {
        static_cast<BrokerSession*>(self)->update(
            [&](BrokerSession& s) { (rc == 0 ? s.connected_ : s.refused_) = true; });
    });
    mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int) {
        static_cast<BrokerSession*>(self)->update([](BrokerSession& s) { --s.unacknowledged_; });
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
        static_cast<BrokerSession*>(self)->update([](BrokerSession& s) { --s.unacknowledged_; });
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
        const std::string payload(static_cast<const char*>(m->payload), size_t(m->payloadlen));
        static_cast<BrokerSession*>(self)->update(
            [&](BrokerSession& s) { s.received_.emplace_back(m->topic, payload); });
    });
    mosquitto_loop_start(client_);
}

bool BrokerSession::connect() {
    const int rc = mosquitto_connect_async(client_, broker_.host.c_str(), broker_.port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "velko hq: the broker %s:%d could not be reached: %s\n",
                     broker_.host.c_str(), broker_.port, mosquitto_strerror(rc));
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, std::chrono::seconds(30), [&] { return connected_ || refused_; }) &&
        connected_)
        return true;
    std::fprintf(stderr, "velko hq: the broker %s:%d %s\n", broker_.host.c_str(), broker_.port,
                 refused_ ? "refused head office" : "could not be reached");
    return false;
}

bool BrokerSession::publish(const std::vector<std::pair<std::string, std::string>>& messages,
                            bool retain) {
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

bool BrokerSession::receive(
    Clock::time_point until,
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

// A command's id: unique across head office's runs, and telling when it was sent.
std::string commandId() {
    char when[32];
    const std::tm t = http::utcTime(std::time(nullptr));
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &t);
    char tail[16];
    std::snprintf(tail, sizeof tail, "%08x", unsigned(std::random_device()()));
    return std::string("hq-") + when + "-" + tail;
}

}  // namespace velko::hq
