// The service's configuration: where it listens, where it keeps its data, who may call it, the
// devices it owns and when it closes their day. Read from TOML; every fault names its line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "chain/broker.h"
#include "http/limits.h"
#include "http/tokens.h"

namespace velko::serve {

using http::goodName;
using http::Role;
using http::Token;

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
struct HeadOfficeConfig : chain::BrokerConfig {
    bool enabled = false;
    std::string store;  // this shop's name in the topics: velko/STORE/...
    // A day report without head office's receipt is sent again after this, then after twice
    // as long each time, up to thirty times as long.
    int resendSeconds = 60;
};

struct Config {
    std::string host = "127.0.0.1";
    int port = 8640;
    std::string data = "/var/lib/velko";
    size_t maxBody = 8u << 20;
    int idempotencyDays = 7;  // how long a client's Idempotency-Key names its jobs
    // What clients may have waiting: jobs queued on one line, and articles in a price list (as
    // many as a large device's table holds).
    int maxQueued = 50;
    int maxArticles = 100000;
    // Connections one address may hold open (a reverse proxy in front needs more), the size of
    // a request's head, and the names the service may be reached by besides addresses,
    // localhost and this machine's name (a name the shop's DNS gives it, say).
    http::Front front;
    // HTTPS in the service itself: the certificate chain and its key (PEM files).
    std::string tlsCert, tlsKey;
    int dayStartsMinute = 4 * 60;  // a close of day before this belongs to the day before
    std::string allowOrigin;       // empty: no cross-origin access
    // How long the price history keeps a change, and the article groups (as files number them)
    // that spoil quickly: their lowest price before a reduction is the one just before it.
    int priceHistoryDays = 400;
    int promotionsDays = 400;  // how long a promotion over is kept
    std::set<int> perishableGroups;
    std::vector<Token> tokens;
    std::vector<DeviceConfig> devices;
    std::vector<CloseDayConfig> closeDays;
    HeadOfficeConfig headOffice;
};

// Reads the configuration from TOML `text`; every fault goes to `faults` as
// "FILE:LINE: what is wrong", and the configuration is not to be used unless there is none.
Config parseConfig(const std::string& text, const std::string& file,
                   std::vector<std::string>& faults);

// The devices an entry names, given by device name or group ("all": every device), in the
// configuration's order, each once; `unknown` gets a name that is neither.
std::vector<const DeviceConfig*> devicesNamed(const Config& config,
                                              const std::vector<std::string>& names,
                                              std::string* unknown = nullptr);

}  // namespace velko::serve
