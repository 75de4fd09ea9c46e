#include "http/guard.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "http/host.h"

namespace velko::http {

bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i] ^ b[i % (b.size() ? b.size() : 1)]);
    return diff == 0;
}

const Token* tokenFor(const std::vector<Token>& tokens, const std::string& authorization) {
    const std::string prefix = "Bearer ";
    if (authorization.compare(0, prefix.size(), prefix) != 0) return nullptr;
    const std::string secret = authorization.substr(prefix.size());
    const Token* found = nullptr;
    for (const Token& t : tokens) {
        if (sameSecret(secret, t.secret)) found = &t;  // every one compared, found or not
    }
    return found;
}

bool allowedHost(const std::string& host, const std::vector<std::string>& allowed) {
    // The name without its port; an IPv6 address in brackets is an address.
    if (host.empty() || host.front() == '[') return true;
    std::string name = host.substr(0, host.rfind(':'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (std::all_of(name.begin(), name.end(),
                    [](unsigned char c) { return std::isdigit(c) || c == '.'; }))
        return true;  // an IPv4 address: nothing to rebind
    if (name == "localhost") return true;
    std::string self = hostName();
    std::transform(self.begin(), self.end(), self.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    // The machine's own name, and its name on the local network (mDNS); any other name of it
    // is configured: a name that only begins with it may be anyone's.
    if (!self.empty() && (name == self || name == self + ".local")) return true;
    return std::any_of(allowed.begin(), allowed.end(), [&](std::string a) {
        std::transform(a.begin(), a.end(), a.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        return a == name;
    });
}

const std::vector<std::pair<std::string, std::string>>& securityHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers = {
        {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy",
         "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
    };
    return headers;
}

}  // namespace velko::http
