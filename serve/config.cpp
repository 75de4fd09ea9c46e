#include "serve/config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <set>

namespace velko::serve {

bool goodName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

bool isPostgresUrl(const std::string& database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

namespace {

// "HH:MM" into minutes of the day; -1 when it is not a time of day.
int minuteOfDay(const std::string& text) {
    int h = 0, m = 0;
    char extra = 0;
    if (text.size() != 5 || std::sscanf(text.c_str(), "%2d:%2d%c", &h, &m, &extra) != 2 || h < 0 ||
        h > 23 || m < 0 || m > 59)
        return -1;
    return h * 60 + m;
}

// "8 MiB", "512 KiB", "100000" into bytes; 0 when it is none of these.
size_t byteSize(const std::string& text) {
    unsigned long long n = 0;
    char unit[8] = "";
    const int got = std::sscanf(text.c_str(), "%llu %7s", &n, unit);
    if (got < 1) return 0;
    const std::string u = got == 2 ? unit : "";
    if (u.empty() || u == "B") return size_t(n);
    if (u == "KiB" || u == "kB") return size_t(n) << 10;
    if (u == "MiB" || u == "MB") return size_t(n) << 20;
    return 0;
}

class Reader {
  public:
    Reader(const std::string& file, std::vector<std::string>& faults)
        : file_(file), faults_(faults) {}

    void fault(const toml::node* at, const std::string& what) {
        const int line = at ? int(at->source().begin.line) : 0;
        faults_.push_back(file_ + ":" + std::to_string(line) + ": " + what);
    }

    // The string at `key` of `table` into `out`; a missing key leaves `out` unless required.
    bool text(const toml::table& table, const char* key, std::string& out, bool required) {
        const toml::node* node = table.get(key);
        if (!node) {
            if (required) fault(&table, std::string("'") + key + "' is missing");
            return false;
        }
        if (!node->is_string()) {
            fault(node, std::string("'") + key + "' must be text in quotes");
            return false;
        }
        out = **node->as_string();
        return true;
    }

    bool integer(const toml::table& table, const char* key, int64_t low, int64_t high,
                 int64_t& out) {
        const toml::node* node = table.get(key);
        if (!node) return false;
        if (!node->is_integer() || **node->as_integer() < low || **node->as_integer() > high) {
            fault(node, std::string("'") + key + "' must be a whole number from " +
                            std::to_string(low) + " to " + std::to_string(high));
            return false;
        }
        out = **node->as_integer();
        return true;
    }

    // The broker's address, its user and TLS files.
    void broker(const toml::table& t, HeadOfficeConfig& h) {
        std::string value;
        if (text(t, "broker", value, true)) {
            h.tls = value.rfind("mqtts://", 0) == 0;
            const bool plain = value.rfind("mqtt://", 0) == 0;
            const std::string rest = value.substr(h.tls ? 8 : 7);
            h.port = h.tls ? 8883 : 1883;
            if ((!plain && !h.tls) ||
                !(rest.find(':') == std::string::npos ? !(h.host = rest).empty()
                                                      : parseListen(rest, h.host, h.port)))
                fault(t.get("broker"),
                      "'broker' must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
#ifdef VELKO_MQTT_WITHOUT_TLS
            else if (h.tls)
                fault(t.get("broker"),
                      "this build's MQTT client has no TLS: use mqtt:// through a VPN or a TLS "
                      "tunnel");
#endif
        }
        text(t, "username", h.username, false);
        text(t, "password", h.password, false);
        text(t, "ca", h.caFile, false);
        text(t, "cert", h.certFile, false);
        text(t, "key", h.keyFile, false);
        if (h.certFile.empty() != h.keyFile.empty()) fault(&t, "'cert' and 'key' go together");
    }

    // Keys of `table` that are none of `known`: a typing slip would otherwise go unseen.
    void onlyKeys(const toml::table& table, std::initializer_list<const char*> known) {
        for (const auto& entry : table) {
            const std::string key(entry.first.str());
            const bool ours =
                std::any_of(known.begin(), known.end(), [&](const char* k) { return key == k; });
            if (!ours) fault(&entry.second, "unknown key '" + key + "'");
        }
    }

    // The array of tables at `key`, each handed to `each`.
    template <typename Each>
    void tables(const toml::table& root, const char* key, Each each) {
        const toml::node* node = root.get(key);
        if (!node) return;
        const toml::array* array = node->as_array();
        if (!array || !array->is_array_of_tables()) {
            fault(node, std::string("'") + key + "' must be written [[" + key + "]]");
            return;
        }
        for (const toml::node& item : *array) each(*item.as_table());
    }

  private:
    const std::string& file_;
    std::vector<std::string>& faults_;
};

// The [[token]] entries, each secret long enough and used once.
std::vector<Token> readTokens(Reader& read, const toml::table& root) {
    std::vector<Token> tokens;
    std::set<std::string> secrets;
    read.tables(root, "token", [&](const toml::table& t) {
        read.onlyKeys(t, {"name", "secret", "role"});
        Token token;
        read.text(t, "name", token.name, true);
        std::string role = "read";
        read.text(t, "role", role, false);
        if (role == "operate") {
            token.role = Role::Operate;
        } else if (role != "read") {
            read.fault(t.get("role"), "'role' must be \"read\" or \"operate\"");
        }
        if (read.text(t, "secret", token.secret, true)) {
            if (token.secret.size() < 16)
                read.fault(t.get("secret"), "'secret' must be 16 characters or more");
            if (!secrets.insert(token.secret).second)
                read.fault(t.get("secret"), "the same secret as another token");
        }
        tokens.push_back(token);
    });
    return tokens;
}

// Parses `text`, or says where it is not TOML.
bool parseToml(const std::string& text, const std::string& file, toml::table& root,
               std::vector<std::string>& faults) {
    try {
        root = toml::parse(text, file);
        return true;
    } catch (const toml::parse_error& e) {
        faults.push_back(file + ":" + std::to_string(e.source().begin.line) + ": " +
                         std::string(e.description()));
        return false;
    }
}

}  // namespace

bool parseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = std::stoi(digits);
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return port <= 65535;
}

Config parseConfig(const std::string& text, const std::string& file,
                   std::vector<std::string>& faults) {
    Config config;
    toml::table root;
    if (!parseToml(text, file, root, faults)) return config;
    Reader read(file, faults);
    read.onlyKeys(root, {"listen", "data", "max_body", "day_starts", "allow_origin", "token",
                         "device", "close_day", "head_office"});
    std::string value;
    if (read.text(root, "listen", value, false) && !parseListen(value, config.host, config.port))
        read.fault(root.get("listen"), "'listen' must be HOST:PORT, as \"127.0.0.1:8640\"");
    read.text(root, "data", config.data, false);
    if (read.text(root, "max_body", value, false) && !(config.maxBody = byteSize(value)))
        read.fault(root.get("max_body"), "'max_body' must be a size, as \"8 MiB\"");
    if (read.text(root, "day_starts", value, false) &&
        (config.dayStartsMinute = minuteOfDay(value)) < 0)
        read.fault(root.get("day_starts"), "'day_starts' must be a time of day, as \"04:00\"");
    read.text(root, "allow_origin", config.allowOrigin, false);

    config.tokens = readTokens(read, root);
    std::set<std::string> names;
    read.tables(root, "device", [&](const toml::table& t) {
        read.onlyKeys(t, {"name", "line", "number", "baud", "group"});
        DeviceConfig device;
        if (read.text(t, "name", device.name, true)) {
            if (!goodName(device.name) || device.name == "all")
                read.fault(t.get("name"),
                           "'name' must be letters, digits, '-' and '_' (and not \"all\")");
            if (!names.insert(device.name).second)
                read.fault(t.get("name"), "a second device named '" + device.name + "'");
        }
        read.text(t, "line", device.line, true);
        int64_t n = device.number;
        read.integer(t, "number", 0, 99, n);
        device.number = int(n);
        n = device.baud;
        if (read.integer(t, "baud", 1, 4000000, n)) device.baud = uint32_t(n);
        if (read.text(t, "group", device.group, false) &&
            (!goodName(device.group) || device.group == "all"))
            read.fault(t.get("group"),
                       "'group' must be letters, digits, '-' and '_' (and not \"all\")");
        config.devices.push_back(device);
    });
    for (const DeviceConfig& d : config.devices) {
        if (names.count(d.group) && d.group != d.name)
            faults.push_back(file + ": the group '" + d.group + "' is also a device's name");
    }
    read.tables(root, "close_day", [&](const toml::table& t) {
        read.onlyKeys(t, {"at", "devices"});
        CloseDayConfig entry;
        entry.line = int(t.source().begin.line);
        if (read.text(t, "at", value, true) && (entry.minuteOfDay = minuteOfDay(value)) < 0)
            read.fault(t.get("at"), "'at' must be a time of day, as \"22:30\"");
        const toml::node* devices = t.get("devices");
        const toml::array* list = devices ? devices->as_array() : nullptr;
        if (!list || list->empty() || !list->is_homogeneous(toml::node_type::string)) {
            read.fault(devices ? devices : &t,
                       "'devices' must list device names or groups, as [\"front\"]");
        } else {
            for (const toml::node& n : *list) entry.targets.push_back(**n.as_string());
            std::string unknown;
            devicesNamed(config, entry.targets, &unknown);
            if (!unknown.empty())
                read.fault(devices, "'" + unknown + "' is neither a device nor a group");
        }
        config.closeDays.push_back(entry);
    });
    if (const toml::node* node = root.get("head_office")) {
        const toml::table* t = node->as_table();
        if (!t) {
            read.fault(node, "'head_office' must be a table: [head_office]");
        } else {
            HeadOfficeConfig& h = config.headOffice;
            h.enabled = true;
            read.onlyKeys(*t, {"broker", "store", "username", "password", "ca", "cert", "key"});
            read.broker(*t, h);
            if (read.text(*t, "store", h.store, true) && !goodName(h.store))
                read.fault(t->get("store"), "'store' must be letters, digits, '-' and '_'");
        }
    }
    if (config.devices.empty()) faults.push_back(file + ": no [[device]] is configured");
    return config;
}

HqConfig parseHqConfig(const std::string& text, const std::string& file,
                       std::vector<std::string>& faults) {
    HqConfig config;
    toml::table root;
    if (!parseToml(text, file, root, faults)) return config;
    Reader read(file, faults);
    read.onlyKeys(root, {"broker", "username", "password", "ca", "cert", "key", "data", "listen",
                         "token", "database"});
    read.broker(root, config.broker);
    read.text(root, "data", config.data, false);
    std::string value;
    if (read.text(root, "listen", value, false) && !parseListen(value, config.host, config.port))
        read.fault(root.get("listen"), "'listen' must be HOST:PORT, as \"127.0.0.1:8650\"");
    if (read.text(root, "database", config.database, false) && !isPostgresUrl(config.database))
        read.fault(root.get("database"),
                   "'database' must be a PostgreSQL URL, as \"postgresql://velko@db/velko\"; "
                   "leave it out for SQLite in 'data'");
    config.tokens = readTokens(read, root);
    return config;
}

std::vector<const DeviceConfig*> devicesNamed(const Config& config,
                                              const std::vector<std::string>& names,
                                              std::string* unknown) {
    std::vector<const DeviceConfig*> found;
    for (const std::string& name : names) {
        bool any = false;
        for (const DeviceConfig& d : config.devices) {
            if (name != "all" && d.name != name && d.group != name) continue;
            any = true;
            if (std::find(found.begin(), found.end(), &d) == found.end()) found.push_back(&d);
        }
        if (!any && unknown && unknown->empty()) *unknown = name;
    }
    // In the configuration's order, whatever order the names came in.
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace velko::serve
