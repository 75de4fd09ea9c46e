// The chain's broker as a shop or head office reaches it: its address, the login, and TLS.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

namespace velko::chain {

struct BrokerConfig {
    std::string host;
    int port = 1883;
    bool tls = false;  // mqtts://
    std::string username, password;
    std::string caFile, certFile, keyFile;  // TLS: the broker's CA; a client certificate
};

// An MQTT client for `config`'s broker (user, TLS), reconnecting calmly, not yet connected;
// std::runtime_error when it cannot be made (a TLS file that cannot be read names its path).
// (Only in builds with an MQTT client.)
mosquitto* makeMqttClient(const BrokerConfig& config, const std::string& id, bool clean,
                          void* self);

// A client's network thread for as long as the program runs: it connects, and after any error
// (a TLS failure among them, on which the library's own thread would end for good) it waits
// calmly, from a second doubling to half a minute, and connects again.
class MqttLoop {
  public:
    MqttLoop(mosquitto* client, const BrokerConfig& config);
    ~MqttLoop();  // disconnects, and ends the thread
    // Connects, on a thread of its own. Apart from the constructor: the owner's callbacks,
    // which call connected(), may run before the constructor's caller has stored the loop.
    void start();
    MqttLoop(const MqttLoop&) = delete;
    MqttLoop& operator=(const MqttLoop&) = delete;

    // The last error the library met since the last connection, in its words ("OpenSSL
    // Error[0]: ... certificate verify failed"); empty when there was none.
    std::string problem();
    // The owner's connect callback says it is connected: the errors before are over.
    void connected();

  private:
    void run();
    static void onLog(mosquitto*, void*, int level, const char* text);

    mosquitto* client_;
    BrokerConfig config_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::string problem_, logged_;
    std::thread thread_;
};

}  // namespace velko::chain
