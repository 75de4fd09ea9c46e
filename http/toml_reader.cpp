#include "http/toml_reader.h"

#include <cstdio>
#include <random>
#include <set>

namespace velko::http {

std::string newSecret() {
    std::random_device source;
    std::string secret;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", unsigned(source()));
        secret += part;
    }
    return secret;
}

bool goodName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

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

std::vector<Token> readTokens(TomlReader& read, const toml::table& root) {
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

void readFront(TomlReader& read, const toml::table& root, Front& front) {
    int64_t n = int64_t(front.limits.perAddress);
    if (read.integer(root, "max_connections_per_address", 1, 100000, n))
        front.limits.perAddress = size_t(n);
    n = int64_t(front.limits.maxHeaders);
    if (read.integer(root, "max_headers", 8, 10000, n)) front.limits.maxHeaders = size_t(n);
    std::string value;
    if (read.text(root, "max_header_bytes", value, false)) {
        const size_t bytes = byteSize(value);
        if (bytes < 1024 || bytes > (16 << 20))
            read.fault(root.get("max_header_bytes"),
                       "'max_header_bytes' must be a size from 1 KiB to 16 MiB, as \"64 KiB\"");
        else
            front.limits.maxHeaderBytes = bytes;
    }
    if (const toml::node* hosts = root.get("allowed_hosts")) {
        const toml::array* list = hosts->as_array();
        if (!list || (!list->empty() && !list->is_homogeneous(toml::node_type::string))) {
            read.fault(hosts, "'allowed_hosts' must list names, as [\"kasa.sklep.lan\"]");
        } else {
            for (const toml::node& item : *list) front.allowedHosts.push_back(**item.as_string());
        }
    }
}

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

}  // namespace velko::http
