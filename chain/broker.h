// The chain's broker as a shop or head office reaches it: its address, the login, and TLS.
#pragma once

#include <string>

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
// std::runtime_error when it cannot be made. (Only in builds with an MQTT client.)
mosquitto* makeMqttClient(const BrokerConfig& config, const std::string& id, bool clean,
                          void* self);

}  // namespace velko::chain
