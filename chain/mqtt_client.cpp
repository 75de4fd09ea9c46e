#include <mosquitto.h>

#include <mutex>
#include <stdexcept>

#include "chain/broker.h"

namespace velko::chain {

mosquitto* makeMqttClient(const BrokerConfig& config, const std::string& id, bool clean,
                          void* self) {
    static std::once_flag library;
    std::call_once(library, [] { mosquitto_lib_init(); });
    mosquitto* client = mosquitto_new(id.c_str(), clean, self);
    if (!client) throw std::runtime_error("the MQTT client could not be made");
    const auto check = [&](int rc, const char* what) {
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client);
            throw std::runtime_error(std::string("MQTT: ") + what + ": " + mosquitto_strerror(rc));
        }
    };
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!config.username.empty()) {
        check(
            mosquitto_username_pw_set(client, config.username.c_str(),
                                      config.password.empty() ? nullptr : config.password.c_str()),
            "user and password");
    }
    if (config.tls) {
        check(config.caFile.empty()
                  ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                  : mosquitto_tls_set(client, config.caFile.c_str(), nullptr,
                                      config.certFile.empty() ? nullptr : config.certFile.c_str(),
                                      config.keyFile.empty() ? nullptr : config.keyFile.c_str(),
                                      nullptr),
              "TLS");
    }
    // Calm retries while the broker is away: from a second, doubling, up to half a minute.
    mosquitto_reconnect_delay_set(client, 1, 30, true);
    return client;
}

}  // namespace velko::chain
