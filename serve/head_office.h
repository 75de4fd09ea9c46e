// The link to the chain's head office through an MQTT broker: this shop's presence, and its
// day reports out of the outbox. The broker delivers at least once; head office keeps each
// (store, device, business day) once, so a report sent twice does no harm, and one is only
// taken from the outbox when the broker has acknowledged it.
#pragma once

#include <map>
#include <stdexcept>
#include <mutex>
#include <string>

#include "serve/config.h"
#include "serve/store.h"

struct mosquitto;

namespace velko::serve {

#ifdef VELKO_WITH_HEAD_OFFICE
class HeadOffice {
  public:
    // Connects in the background and keeps reconnecting; throws std::runtime_error when the
    // client cannot be set up (a TLS file that cannot be read, say).
    HeadOffice(const HeadOfficeConfig& config, Store& store);
    ~HeadOffice();
    HeadOffice(const HeadOffice&) = delete;
    HeadOffice& operator=(const HeadOffice&) = delete;

    // Sends what waits in the outbox, when connected; the reports of a day just closed among it.
    void send();

    struct Status {
        std::string broker, store;
        bool connected = false;
        std::string problem;  // why it is not connected, when known
        size_t outbox = 0;
    };
    Status status();

    // The topics, as head office subscribes to them.
    static std::string statusTopic(const std::string& store);
    static std::string dayReportTopic(const std::string& store, const std::string& device,
                                      const std::string& businessDay);

  private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    std::string dayReport(const OutboxEntry& entry);

    HeadOfficeConfig config_;
    Store& store_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    bool connected_ = false;
    std::string problem_ = "connecting";
    std::map<int, OutboxEntry> inFlight_;  // by message id, until the broker acknowledges
};
#else
// A build without an MQTT client (Windows, for now): a configuration that names a head office
// is refused when the service starts.
class HeadOffice {
  public:
    struct Status {
        std::string broker, store;
        bool connected = false;
        std::string problem;
        size_t outbox = 0;
    };
    HeadOffice(const HeadOfficeConfig&, Store&) {
        throw std::runtime_error("this build of velko serve has no MQTT client for [head_office]");
    }
    void send() {}
    Status status() { return {}; }
};
#endif

}  // namespace velko::serve
