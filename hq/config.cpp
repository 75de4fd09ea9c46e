#include "hq/config.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "chain/read_broker.h"
#include "http/toml_reader.h"

namespace velko::hq {

bool isPostgresUrl(const std::string& database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

HqConfig parseHqConfig(const std::string& text, const std::string& file,
                       std::vector<std::string>& faults) {
    HqConfig config;
    toml::table root;
    if (!http::parseToml(text, file, root, faults)) return config;
    http::TomlReader read(file, faults);
    read.onlyKeys(root, {"broker", "username", "password", "ca", "cert", "key", "data", "listen",
                         "token", "database", "max_message_bytes", "client_id", "tool_username",
                         "tool_password", VELKO_FRONT_KEYS});
    chain::readBroker(read, root, config.broker);
    read.text(root, "data", config.data, false);
    std::string value;
    if (read.text(root, "listen", value, false) &&
        !http::parseListen(value, config.host, config.port))
        read.fault(root.get("listen"), "'listen' must be HOST:PORT, as \"127.0.0.1:8650\"");
    if (read.text(root, "database", config.database, false) && !isPostgresUrl(config.database))
        read.fault(root.get("database"),
                   "'database' must be a PostgreSQL URL, as \"postgresql://velko@db/velko\"; "
                   "leave it out for SQLite in 'data'");
    if (read.text(root, "client_id", config.clientId, false) && !http::goodName(config.clientId))
        read.fault(root.get("client_id"), "'client_id' must be letters, digits, '-' and '_'");
    read.text(root, "tool_username", config.toolUsername, false);
    read.text(root, "tool_password", config.toolPassword, false);
    read.integer(root, "max_message_bytes", 1024, int64_t(1) << 30, config.maxMessage);
    config.tokens = http::readTokens(read, root);
    http::readFront(read, root, config.front);
    return config;
}

bool loadConfig(const std::string& path, HqConfig& config) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> faults;
    if (!in) {
        faults.push_back(path + ": cannot be read");
    } else {
        std::ostringstream text;
        text << in.rdbuf();
        config = parseHqConfig(text.str(), path, faults);
    }
    for (const std::string& f : faults) std::fprintf(stderr, "velko hq: %s\n", f.c_str());
    return faults.empty();
}

}  // namespace velko::hq
