#include "http/api.h"

#include <cctype>
#include <sstream>

#include "http/untrusted_json.h"

namespace velko::http {

ApiRequest requestOf(const httplib::Request& in) {
    ApiRequest out;
    out.method = in.method;
    out.path = in.path;
    for (const auto& [name, value] : in.params) out.query.emplace(name, value);
    for (const auto& [name, value] : in.headers) {
        std::string lower = name;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        out.headers.emplace(lower, value);
    }
    out.body = in.body;
    return out;
}

void writeResponse(const ApiResponse& out, httplib::Response& res) {
    res.status = out.status;
    for (const auto& [name, value] : out.headers) res.set_header(name, value);
    res.set_content(out.body, out.contentType);
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

bool matchPath(const std::string& pattern, const std::vector<std::string>& parts,
               std::map<std::string, std::string>& named) {
    const std::vector<std::string> want = splitPath(pattern);
    if (want.size() != parts.size()) return false;
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i].size() > 2 && want[i].front() == '{' && want[i].back() == '}') {
            named[want[i].substr(1, want[i].size() - 2)] = parts[i];
        } else if (want[i] != parts[i]) {
            return false;
        }
    }
    return true;
}

ApiResponse answerOf(const Refusal& refusal) {
    ApiResponse out;
    out.status = refusal.status;
    out.body = safeDump(nlohmann::ordered_json{{"error", refusal.why}}, 2) + "\n";
    if (refusal.status == 401) out.headers.emplace_back("WWW-Authenticate", "Bearer");
    return out;
}

std::optional<Refusal> hostRefusal(const ApiRequest& request,
                                   const std::vector<std::string>& allowedHosts,
                                   const std::string& who) {
    const std::string host = request.header("host");
    if (allowedHost(host, allowedHosts)) return std::nullopt;
    return Refusal{
        421, who + " is not reached by the name '" + host + "' (allowed_hosts names those it is)"};
}

std::optional<Refusal> accessRefusal(Access access, const ApiRequest& request,
                                     const std::vector<Token>& tokens, const Token*& token) {
    if (access == Access::Open) return std::nullopt;
    token = tokenFor(tokens, request.header("authorization"));
    if (!token)
        return Refusal{401, request.header("authorization").empty()
                                ? "this needs 'Authorization: Bearer TOKEN'"
                                : "the token is not known"};
    if (access == Access::Operate && token->role != Role::Operate)
        return Refusal{403, "the token '" + token->name + "' may only read"};
    return std::nullopt;
}

std::optional<Refusal> parameterRefusal(const std::vector<const char*>& params,
                                        const ApiRequest& request, const std::string& route) {
    for (const auto& param : request.query) {
        const std::string& name = param.first;  // a lambda cannot take a structured binding
        if (std::none_of(params.begin(), params.end(), [&](const char* p) { return name == p; }))
            return Refusal{400, "'" + name + "' is not a parameter of " + route};
    }
    return std::nullopt;
}

}  // namespace velko::http
