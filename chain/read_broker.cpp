#include "chain/read_broker.h"

namespace velko::chain {

void readBroker(http::TomlReader& read, const toml::table& t, BrokerConfig& h) {
    std::string value;
    if (read.text(t, "broker", value, true)) {
        h.tls = value.rfind("mqtts://", 0) == 0;
        const bool plain = value.rfind("mqtt://", 0) == 0;
        const std::string rest = value.substr(h.tls ? 8 : 7);
        h.port = h.tls ? 8883 : 1883;
        if ((!plain && !h.tls) ||
            !(rest.find(':') == std::string::npos ? !(h.host = rest).empty()
                                                  : http::parseListen(rest, h.host, h.port)))
            read.fault(t.get("broker"),
                       "'broker' must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
#ifdef VELKO_MQTT_WITHOUT_TLS
        else if (h.tls)
            read.fault(t.get("broker"),
                       "this build's MQTT client has no TLS: use mqtt:// through a VPN or a TLS "
                       "tunnel");
#endif
    }
    read.text(t, "username", h.username, false);
    read.text(t, "password", h.password, false);
    read.text(t, "ca", h.caFile, false);
    read.text(t, "cert", h.certFile, false);
    read.text(t, "key", h.keyFile, false);
    if (h.certFile.empty() != h.keyFile.empty()) read.fault(&t, "'cert' and 'key' go together");
}

}  // namespace velko::chain
