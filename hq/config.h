// Head office's program: the broker it reads the chain from (as the shops reach it), its
// database, where its API listens and who may call it. Read from TOML; every fault names its
// line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chain/broker.h"
#include "http/limits.h"
#include "http/tokens.h"

namespace velko::hq {

struct HqConfig {
    chain::BrokerConfig broker;
    std::string data = "/var/lib/velko-hq";
    std::string database;  // a PostgreSQL URL; empty: SQLite in `data`
    std::string host = "127.0.0.1";
    int port = 8650;
    std::vector<http::Token> tokens;
    // Connections, request heads and the names head office is reached by, as the service's.
    http::Front front;
    // The login of head office's command line (publish, command) when it has one of its own:
    // a broker that makes every client's id its login (the example's) would otherwise have the
    // command line take the running head office's session.
    std::string toolUsername, toolPassword;
    // The broker as the command line reaches it.
    chain::BrokerConfig toolBroker() const {
        chain::BrokerConfig b = broker;
        if (!toolUsername.empty()) {
            b.username = toolUsername;
            b.password = toolPassword;
        }
        return b;
    }
    // Head office's own session at the broker. Several head offices on one database each have
    // their own, and share the shops' messages between them.
    std::string clientId = "velko-hq";
    // The largest message from a shop that is read; a larger one is refused unread.
    int64_t maxMessage = 4 << 20;
};

// Reads the configuration from TOML `text`; every fault goes to `faults` as
// "FILE:LINE: what is wrong", and the configuration is not to be used unless there is none.
HqConfig parseHqConfig(const std::string& text, const std::string& file,
                       std::vector<std::string>& faults);

// Reads the configuration file at `path`; its faults go to standard error. False when there is
// any.
bool loadConfig(const std::string& path, HqConfig& config);

// Whether `database` names a PostgreSQL database (postgresql:// or postgres://).
bool isPostgresUrl(const std::string& database);

}  // namespace velko::hq
