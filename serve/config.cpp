#include "serve/config.h"

#include <set>

#include "chain/read_broker.h"
#include "http/toml_reader.h"

namespace velko::serve {

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

}  // namespace

Config parseConfig(const std::string& text, const std::string& file,
                   std::vector<std::string>& faults) {
    Config config;
    toml::table root;
    if (!http::parseToml(text, file, root, faults)) return config;
    http::TomlReader read(file, faults);
    read.onlyKeys(root, {"listen", "data", "max_body", "idempotency_days", "max_queued",
                         "max_articles", "tls_cert", "tls_key", "day_starts", "allow_origin",
                         "token", "device", "close_day", "head_office", "price_history_days",
                         "promotions_days", "perishable_groups", VELKO_FRONT_KEYS});
    std::string value;
    if (read.text(root, "listen", value, false) &&
        !http::parseListen(value, config.host, config.port))
        read.fault(root.get("listen"), "'listen' must be HOST:PORT, as \"127.0.0.1:8640\"");
    read.text(root, "data", config.data, false);
    if (read.text(root, "max_body", value, false) && !(config.maxBody = http::byteSize(value)))
        read.fault(root.get("max_body"), "'max_body' must be a size, as \"8 MiB\"");
    int64_t days = config.idempotencyDays;
    if (read.integer(root, "idempotency_days", 1, 3650, days)) config.idempotencyDays = int(days);
    int64_t n = config.maxQueued;
    if (read.integer(root, "max_queued", 1, 10000, n)) config.maxQueued = int(n);
    n = config.maxArticles;
    if (read.integer(root, "max_articles", 1, 10000000, n)) config.maxArticles = int(n);
    http::readFront(read, root, config.front);
    read.text(root, "tls_cert", config.tlsCert, false);
    read.text(root, "tls_key", config.tlsKey, false);
    if (config.tlsCert.empty() != config.tlsKey.empty())
        faults.push_back(file + ": 'tls_cert' and 'tls_key' go together");
    if (read.text(root, "day_starts", value, false) &&
        (config.dayStartsMinute = minuteOfDay(value)) < 0)
        read.fault(root.get("day_starts"), "'day_starts' must be a time of day, as \"04:00\"");
    read.text(root, "allow_origin", config.allowOrigin, false);

    n = config.priceHistoryDays;
    if (read.integer(root, "price_history_days", 31, 36500, n)) config.priceHistoryDays = int(n);
    n = config.promotionsDays;
    if (read.integer(root, "promotions_days", 31, 36500, n)) config.promotionsDays = int(n);
    if (const toml::node* groups = root.get("perishable_groups")) {
        const toml::array* list = groups->as_array();
        const auto group = [](const toml::node& g) {
            return g.is_integer() && **g.as_integer() >= 0 && **g.as_integer() <= 128;
        };
        if (!list || !std::all_of(list->begin(), list->end(), group)) {
            read.fault(groups, "'perishable_groups' must list article groups, as [3, 7]");
        } else {
            for (const toml::node& g : *list) config.perishableGroups.insert(int(**g.as_integer()));
        }
    }

    config.tokens = http::readTokens(read, root);
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
            read.onlyKeys(*t, {"broker", "store", "username", "password", "ca", "cert", "key",
                               "resend_seconds"});
            chain::readBroker(read, *t, h);
            int64_t resend = h.resendSeconds;
            if (read.integer(*t, "resend_seconds", 1, 86400, resend)) h.resendSeconds = int(resend);
            if (read.text(*t, "store", h.store, true) && !goodName(h.store))
                read.fault(t->get("store"), "'store' must be letters, digits, '-' and '_'");
        }
    }
    if (config.devices.empty()) faults.push_back(file + ": no [[device]] is configured");
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
