// The link to the chain's head office through an MQTT broker: this shop's presence, and its
// day reports out of the outbox. Head office keeps each (store, device, business day) once, so
// a report sent twice does no harm; one leaves the outbox only when head office's receipt
// says it has stored it (a broker's acknowledgement is not enough: a broker that restarts
// empty, or hands head office's session to someone else, loses what it acknowledged). Until
// then it is sent again, calmly: after resend_seconds (a minute), then after twice as long
// each time, up to half an hour; and at once after each new connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chain/broker.h"
#include "serve/config.h"
#include "serve/store.h"

struct mosquitto;
struct mosquitto_message;

namespace velko::serve {

class Service;

#ifdef VELKO_WITH_HEAD_OFFICE
class HeadOffice {
  public:
    // Connects in the background and keeps reconnecting; throws std::runtime_error when the
    // client cannot be set up (a TLS file that cannot be read, say).
    HeadOffice(const HeadOfficeConfig& config, Service& service);
    ~HeadOffice();
    HeadOffice(const HeadOffice&) = delete;
    HeadOffice& operator=(const HeadOffice&) = delete;

    // Sends what waits in the outbox, when connected; the reports of a day just closed among it.
    void send();
    // A job has ended: a price list's sync is reported, a command's jobs answered, a chain
    // promotion's start or end told.
    void jobEnded(const JobRecord& job);
    // A promotion from head office ("head-office:ID") changed: head office hears how it stands
    // on each of this shop's devices.
    void promotionChanged(const std::string& source);

    struct Status {
        std::string broker, store;
        bool connected = false;
        std::string problem;  // why it is not connected, when known
        size_t outbox = 0;
        std::vector<OutboxEntry> waiting;  // days without head office's receipt
        std::string refused;               // the last day head office refused, and why
    };
    Status status();

  private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    void receipt(const std::string& device, const std::string& businessDay,
                 const std::string& payload);
    void resendLoop();
    std::string dayReport(const OutboxEntry& entry);
    void desiredPriceList(const std::string& device, const std::string& payload);
    void command(const std::string& id, const std::string& payload);
    void promotion(const std::string& device, const std::string& id, const std::string& payload);
    void reportPriceList(const std::string& device, nlohmann::ordered_json reported);
    void answer(const std::string& id, const std::vector<int64_t>& jobs);
    void resend(const std::string& id, const std::vector<const DeviceConfig*>& devices,
                const std::string& day);
    void publish(const std::string& topic, const std::string& payload, bool retain);
    std::string statusMessage(const char* state, const std::string& since);

    // A price list being applied, by its sync's job.
    struct Applying {
        std::string device;
        AppliedPriceList list;
    };

    HeadOfficeConfig config_;
    Service& service_;
    Store& store_;
    std::map<int64_t, Applying> applying_;  // by job
    // Desired lists as they come, the newest per device, applied once they stop coming for a
    // moment: after a time offline the broker hands on every version queued meanwhile, and
    // only the latest is to be applied.
    void applyLoop();
    std::map<std::string, std::pair<int64_t, std::string>> arrived_;  // by device
    std::chrono::steady_clock::time_point lastArrival_{};
    std::condition_variable arrival_;
    bool stopping_ = false;
    std::thread applier_, resender_;
    std::map<std::string, std::vector<int64_t>> commands_;  // unanswered commands' jobs, by id
    // Chain promotions this shop refused for a device, and why: by (source, device).
    std::map<std::pair<std::string, std::string>, std::string> refusedPromotions_;
    mosquitto* client_ = nullptr;
    std::unique_ptr<chain::MqttLoop> loop_;
    std::mutex mutex_;
    bool connected_ = false;
    std::string problem_ = "connecting", refused_;
    // Days sent and not yet receipted, by (device, business day): the version sent, when to
    // send it again, and how often it was sent.
    struct Sent {
        int64_t version = 0;
        std::chrono::steady_clock::time_point again;
        int times = 0;
    };
    std::map<std::pair<std::string, std::string>, Sent> sent_;
    // This run of the service and its status messages' numbers in it: head office orders a
    // shop's presence by them, whatever order the broker hands them on in.
    const std::string started_;
    int64_t statusSeq_ = 0;
    std::string connectedAt_;
    std::chrono::steady_clock::time_point lastStatus_{};
};
#else
// A build without an MQTT client (Windows built without Mosquitto's sources): a configuration
// that names a head office is refused when the service starts.
class HeadOffice {
  public:
    struct Status {
        std::string broker, store;
        bool connected = false;
        std::string problem;
        size_t outbox = 0;
        std::vector<OutboxEntry> waiting;
        std::string refused;
    };
    HeadOffice(const HeadOfficeConfig&, Service&) {
        throw std::runtime_error("this build of velko serve has no MQTT client for [head_office]");
    }
    void send() {}
    void jobEnded(const JobRecord&) {}
    void promotionChanged(const std::string&) {}
    Status status() { return {}; }
};
#endif

}  // namespace velko::serve
