// The service's configuration: where it listens, where it keeps its data, who may call it, the
// devices it owns and when it closes their day. Read from TOML; every fault names its line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velko::serve {

enum class Role { Read, Operate };

struct Token {
    std::string name, secret;
    Role role = Role::Read;
};

struct DeviceConfig {
    std::string name;
    std::string line;  // a device path, COM3 or tcp://HOST:PORT
    int number = 1;
    uint32_t baud = 9600;
    std::string group;  // may be empty
};

struct CloseDayConfig {
    int minuteOfDay = 0;               // local time
    std::vector<std::string> targets;  // device names or groups
    int line = 0;                      // in the file, to name the entry
};

// The chain's head office, reached through an MQTT broker.
struct HeadOfficeConfig {
    bool enabled = false;
    std::string host;
    int port = 1883;
    bool tls = false;   // mqtts://
    std::string store;  // this shop's name in the topics: velko/STORE/...
    std::string username, password;
    std::string caFile, certFile, keyFile;  // TLS: the broker's CA; a client certificate
};

struct Config {
    std::string host = "127.0.0.1";
    int port = 8640;
    std::string data = "/var/lib/velko";
    size_t maxBody = 8u << 20;
    int dayStartsMinute = 4 * 60;  // a close of day before this belongs to the day before
    std::string allowOrigin;       // empty: no cross-origin access
    std::vector<Token> tokens;
    std::vector<DeviceConfig> devices;
    std::vector<CloseDayConfig> closeDays;
    HeadOfficeConfig headOffice;
};

// Head office's program: the broker it reads the chain from (as the shops reach it, `store`
// unused), its database, where its API listens and who may call it.
struct HqConfig {
    HeadOfficeConfig broker;
    std::string data = "/var/lib/velko-hq";
    std::string database;  // a PostgreSQL URL; empty: SQLite in `data`
    std::string host = "127.0.0.1";
    int port = 8650;
    std::vector<Token> tokens;
};

// Reads the configuration from TOML `text`; every fault goes to `faults` as
// "FILE:LINE: what is wrong", and the configuration is not to be used unless there is none.
Config parseConfig(const std::string& text, const std::string& file,
                   std::vector<std::string>& faults);

// The same for head office's configuration.
HqConfig parseHqConfig(const std::string& text, const std::string& file,
                       std::vector<std::string>& faults);

// Names of devices, groups and stores: letters, digits, '-' and '_', 64 at most.
bool goodName(const std::string& name);

// Whether `database` names a PostgreSQL database (postgresql:// or postgres://).
bool isPostgresUrl(const std::string& database);

// "HOST:PORT" into its parts; false when it is not that.
bool parseListen(const std::string& text, std::string& host, int& port);

// The devices an entry names, given by device name or group ("all": every device), in the
// configuration's order, each once; `unknown` gets a name that is neither.
std::vector<const DeviceConfig*> devicesNamed(const Config& config,
                                              const std::vector<std::string>& names,
                                              std::string* unknown = nullptr);

}  // namespace velko::serve
