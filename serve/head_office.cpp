#include "serve/head_office.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>

#include "device/amount.h"
#include "serve/views.h"

namespace velko::serve {
namespace {

const char kOnline[] = "online", kOffline[] = "offline";

}  // namespace

std::string HeadOffice::statusTopic(const std::string& store) {
    return "velko/" + store + "/status";
}

std::string HeadOffice::dayReportTopic(const std::string& store, const std::string& device,
                                       const std::string& businessDay) {
    return "velko/" + store + "/" + device + "/closeday/" + businessDay;
}

HeadOffice::HeadOffice(const HeadOfficeConfig& config, Store& store)
    : config_(config), store_(store) {
    static std::once_flag library;
    std::call_once(library, [] { mosquitto_lib_init(); });
    // A session of its own that the broker keeps across reconnections: what it acknowledged
    // is acknowledged once.
    client_ = mosquitto_new(("velko-store-" + config.store).c_str(), false, this);
    if (!client_) throw std::runtime_error("the MQTT client could not be made");
    const auto check = [&](int rc, const char* what) {
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            throw std::runtime_error(std::string("head office: ") + what + ": " +
                                     mosquitto_strerror(rc));
        }
    };
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!config.username.empty()) {
        check(mosquitto_username_pw_set(client_, config.username.c_str(),
                                        config.password.empty() ? nullptr : config.password.c_str()),
              "user and password");
    }
    if (config.tls) {
        check(config.caFile.empty()
                  ? mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                  : mosquitto_tls_set(client_, config.caFile.c_str(), nullptr,
                                      config.certFile.empty() ? nullptr : config.certFile.c_str(),
                                      config.keyFile.empty() ? nullptr : config.keyFile.c_str(),
                                      nullptr),
              "TLS");
    }
    const std::string will = statusTopic(config.store);
    check(mosquitto_will_set(client_, will.c_str(), int(sizeof kOffline - 1), kOffline, 1, true),
          "the last will");
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_publish_callback_set(client_, onPublish);
    // Calm retries while the broker is away: from 2 s, doubling, up to a minute.
    mosquitto_reconnect_delay_set(client_, 2, 60, true);
    check(mosquitto_loop_start(client_), "its thread");
    const int rc = mosquitto_connect_async(client_, config.host.c_str(), config.port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
        // A broker that cannot be reached now is tried again by the loop.
        std::lock_guard<std::mutex> lock(mutex_);
        problem_ = mosquitto_strerror(rc);
        mosquitto_reconnect_async(client_);
    }
}

HeadOffice::~HeadOffice() {
    // Leaving as planned says so; the last will is for leaving otherwise.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_) {
            const std::string topic = statusTopic(config_.store);
            mosquitto_publish(client_, nullptr, topic.c_str(), int(sizeof kOffline - 1), kOffline,
                              1, true);
        }
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void HeadOffice::onConnect(mosquitto* client, void* self, int rc) {
    auto& office = *static_cast<HeadOffice*>(self);
    {
        std::lock_guard<std::mutex> lock(office.mutex_);
        office.connected_ = rc == 0;
        office.problem_ = rc == 0 ? "" : mosquitto_connack_string(rc);
        // What was in flight when the line broke is sent again from the outbox.
        office.inFlight_.clear();
    }
    if (rc != 0) return;
    const std::string topic = statusTopic(office.config_.store);
    mosquitto_publish(client, nullptr, topic.c_str(), int(sizeof kOnline - 1), kOnline, 1, true);
    office.send();
}

void HeadOffice::onDisconnect(mosquitto*, void* self, int rc) {
    auto& office = *static_cast<HeadOffice*>(self);
    std::lock_guard<std::mutex> lock(office.mutex_);
    office.connected_ = false;
    office.problem_ = rc == 0 ? "disconnected" : "the connection to the broker was lost";
}

void HeadOffice::onPublish(mosquitto*, void* self, int mid) {
    auto& office = *static_cast<HeadOffice*>(self);
    OutboxEntry entry;
    {
        std::lock_guard<std::mutex> lock(office.mutex_);
        const auto it = office.inFlight_.find(mid);
        if (it == office.inFlight_.end()) return;  // the status, or from before a reconnection
        entry = it->second;
        office.inFlight_.erase(it);
    }
    try {
        office.store_.delivered(entry);
    } catch (const StoreError&) {
        // Still in the outbox: sent again after the next connection, and kept once there.
    }
}

std::string HeadOffice::dayReport(const OutboxEntry& entry) {
    const auto reports = store_.dayReports(entry.device, entry.businessDay);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    int64_t quantity = 0, value = 0;
    for (const ReportRecord& r : reports) {
        list.push_back(reportJson(r));
        quantity += r.quantity;
        value += r.value;
    }
    nlohmann::ordered_json doc = {{"store", config_.store},
                                  {"device", entry.device},
                                  {"business_day", entry.businessDay},
                                  {"version", entry.version},
                                  {"reports", list},
                                  {"quantity", formatAmount(quantity, 3)},
                                  {"value", formatAmount(value, 2)},
                                  {"rows", articlesJson(store_.dayRows(entry.device, entry.businessDay))}};
    return doc.dump();
}

void HeadOffice::send() {
    std::vector<OutboxEntry> waiting;
    try {
        waiting = store_.outbox();
    } catch (const StoreError&) {
        return;  // tried again at the next day closed or connection
    }
    for (const OutboxEntry& entry : waiting) {
        std::string payload;
        try {
            payload = dayReport(entry);
        } catch (const StoreError&) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        const bool sending = std::any_of(inFlight_.begin(), inFlight_.end(), [&](const auto& f) {
            return f.second.device == entry.device && f.second.businessDay == entry.businessDay &&
                   f.second.version == entry.version;
        });
        if (sending) continue;
        int mid = 0;
        const std::string topic = dayReportTopic(config_.store, entry.device, entry.businessDay);
        if (mosquitto_publish(client_, &mid, topic.c_str(), int(payload.size()), payload.data(), 1,
                              false) == MOSQ_ERR_SUCCESS)
            inFlight_[mid] = entry;
    }
}

HeadOffice::Status HeadOffice::status() {
    Status s;
    s.broker = std::string(config_.tls ? "mqtts://" : "mqtt://") + config_.host + ":" +
               std::to_string(config_.port);
    s.store = config_.store;
    try {
        s.outbox = store_.outbox().size();
    } catch (const StoreError&) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    s.connected = connected_;
    s.problem = problem_;
    return s;
}

}  // namespace velko::serve
