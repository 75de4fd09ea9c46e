// The route layer both programs answer through: a request and its answer apart from HTTP, the
// route table's matching, and the checks made once a request before a route's handler (the
// name it is reached by, the token and its role, the query parameters the route takes).
#pragma once

#include <httplib.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/guard.h"

namespace velko::http {

struct ApiRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // without the query
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& lowerName) const {
        const auto it = headers.find(lowerName);
        return it == headers.end() ? "" : it->second;
    }
    std::string param(const std::string& name) const {
        const auto it = query.find(name);
        return it == query.end() ? "" : it->second;
    }
};

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Server-Sent Events: the server streams the service's events after this number instead
    // of sending `body`.
    bool events = false;
    uint64_t eventsAfter = 0;
    std::string eventsFor;  // the token's name, for the cap on its streams
};

// The request as the HTTP library read it, header names in lower case.
ApiRequest requestOf(const httplib::Request& in);
// An answer (not an event stream) into the HTTP library's response.
void writeResponse(const ApiResponse& out, httplib::Response& res);

// Who may call a route: anyone, any token, or a token with the right to operate.
enum class Access { Open, Read, Operate };

// A path's parts, without empty ones.
std::vector<std::string> splitPath(const std::string& path);
// Whether `parts` is the path of `pattern`, whose {names} take any one part (into `named`).
bool matchPath(const std::string& pattern, const std::vector<std::string>& parts,
               std::map<std::string, std::string>& named);

// A request refused before its handler: its status and why (401 asks for a token).
struct Refusal {
    int status;
    std::string why;
};

// A refusal's answer: {"error": WHY}, and a 401 asks for a bearer token.
ApiResponse answerOf(const Refusal& refusal);

// The route of `routes` (each with `method`, `pattern`) that the request's method and path
// are, with the path's named parts; null when there is none.
template <class Route>
const Route* findRoute(const std::vector<Route>& routes, const ApiRequest& request,
                       const std::vector<std::string>& parts,
                       std::map<std::string, std::string>& named) {
    for (const Route& r : routes) {
        named.clear();
        if (request.method == r.method && matchPath(r.pattern, parts, named)) return &r;
    }
    return nullptr;
}

// The name the request reached `who` by ("this service"), when it is not one of its own.
std::optional<Refusal> hostRefusal(const ApiRequest& request,
                                   const std::vector<std::string>& allowedHosts,
                                   const std::string& who);
// The request's token, found in `tokens`, and whether it may do what `access` needs.
std::optional<Refusal> accessRefusal(Access access, const ApiRequest& request,
                                     const std::vector<Token>& tokens, const Token*& token);
// A query parameter the route does not take: a mistake to name, not to pass over (a sync asked
// for with 'dry-run=1' must not be sent).
std::optional<Refusal> parameterRefusal(const std::vector<const char*>& params,
                                        const ApiRequest& request, const std::string& route);

}  // namespace velko::http
