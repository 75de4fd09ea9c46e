#include "hq/api.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "chain/messages.h"
#include "device/amount.h"
#include "hq/register.h"
#include "hq/views.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/untrusted_json.h"
#include "velko/velko.h"

namespace velko::hq {

// Head office's built-in page, by its file's name, made by http/embed.cmake.
const http::EmbeddedFile* pageFile(const std::string& name);

namespace {

using nlohmann::ordered_json;

ApiResponse json(int status, const ordered_json& body) {
    ApiResponse r;
    r.status = status;
    r.body = http::safeDump(body, 2);
    return r;
}

ApiResponse error(int status, const std::string& why) {
    return json(status, {{"error", why}});
}

// A number of a query parameter from 0 to `most`, `fallback` when it is absent; -1 when it is
// not one.
int64_t number(const ApiRequest& request, const char* name, int64_t fallback, int64_t most) {
    const std::string text = request.param(name);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && n >= 0 && n <= most ? n : -1;
}

}  // namespace

// One route: its method, its path with {names}, who may call it, the query parameters it
// takes, and the member that answers it.
struct HqApi::Route {
    const char* method;
    const char* pattern;
    http::Access access;
    std::vector<const char*> params;
    ApiResponse (HqApi::*handler)(const Call&);
};

const std::vector<HqApi::Route>& HqApi::routes() {
    using A = http::Access;
    static const std::vector<Route> table = {
        {"GET", "/api/health", A::Open, {}, &HqApi::health},
        {"GET", "/api/status", A::Read, {"store", "state", "limit", "offset"}, &HqApi::status},
        {"GET", "/api/reports", A::Read, {"day"}, &HqApi::reports},
        {"GET", "/api/sales", A::Read, {"from", "to"}, &HqApi::sales},
        {"GET", "/api/commands/{id}", A::Read, {}, &HqApi::command},
        // The register of the chain, as IT keeps it; changed with an operate token.
        {"GET", "/api/register", A::Read, {}, &HqApi::registerList},
        {"POST", "/api/register/{store}", A::Operate, {"rename"}, &HqApi::addStore},
        {"DELETE", "/api/register/{store}", A::Operate, {}, &HqApi::retireStore},
        {"POST", "/api/register/{store}/{device}", A::Operate, {}, &HqApi::addDevice},
        {"DELETE", "/api/register/{store}/{device}", A::Operate, {}, &HqApi::retireDevice},
    };
    return table;
}

std::vector<std::pair<std::string, std::string>> HqApi::routeInfo() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Route& r : routes()) out.emplace_back(r.method, r.pattern);
    return out;
}

HqApi::HqApi(HqStore& store, const HqConfig& config, std::function<ReadingHealth()> reading)
    : store_(store), config_(config), reading_(std::move(reading)) {}

ApiResponse HqApi::handle(const ApiRequest& request) {
    ApiResponse response;
    try {
        const Route* found = nullptr;
        Call call{request, {}};
        auto answered = early(request, found, call);
        response = answered ? std::move(*answered) : (this->*found->handler)(call);
    } catch (const std::exception& e) {
        response = error(503, std::string("head office's database: ") + e.what());
    }
    for (const auto& header : http::securityHeaders()) response.headers.push_back(header);
    return response;
}

std::optional<ApiResponse> HqApi::early(const ApiRequest& request, const Route*& found,
                                        Call& call) {
    const auto refused = http::answerOf;
    if (auto r = http::hostRefusal(request, config_.front.allowedHosts, "head office"))
        return refused(*r);
    const std::string& method = request.method;
    if (method != "GET" && method != "HEAD" && method != "POST" && method != "DELETE")
        return error(405, "head office's API takes no " + method);
    // No request to head office has a body to read, and none is read.
    if ((!request.header("content-length").empty() && request.header("content-length") != "0") ||
        !request.header("transfer-encoding").empty())
        return error(413, "head office's API takes no body");
    const std::vector<std::string> parts = http::splitPath(request.path);
    // The page: the files built in, open to all (they hold no data).
    if (parts.empty() || parts[0] != "api") {
        if (method != "GET" && method != "HEAD") return error(405, "the page is only read");
        return page(parts);
    }
    found = http::findRoute(routes(), request, parts, call.path);
    const http::Token* token = nullptr;
    const http::Access access = found             ? found->access
                                : method == "GET" ? http::Access::Read
                                                  : http::Access::Operate;
    if (auto r = http::accessRefusal(access, request, config_.tokens, token)) return refused(*r);
    if (!found) return error(404, "no such resource: " + method + " " + request.path);
    if (auto r = http::parameterRefusal(found->params, request,
                                        std::string(found->method) + " " + found->pattern))
        return refused(*r);
    return std::nullopt;
}

ApiResponse HqApi::page(const std::vector<std::string>& parts) {
    const std::string name = parts.empty() ? "index.html" : parts[0];
    const http::EmbeddedFile* file = parts.size() > 1 ? nullptr : pageFile(name);
    if (!file || name[0] == '.') return error(404, "no such page");
    ApiResponse r;
    r.contentType = http::contentTypeOf(name);
    r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
    return r;
}

ApiResponse HqApi::health(const Call&) {
    const ReadingHealth reading = reading_();
    return json(200, {{"status", "up"},
                      {"version", VELKO_VERSION_STRING},
                      {"broker", reading.connected},
                      {"broker_problem", reading.connected ? "" : reading.problem},
                      {"waiting", reading.waiting},
                      {"refused", reading.refused},
                      {"last_refused", reading.lastRefused}});
}

ApiResponse HqApi::status(const Call& call) {
    HqStore::Page page;
    page.store = call.request.param("store");
    page.state = call.request.param("state");
    page.limit = number(call.request, "limit", 1000, 10000);
    page.offset = number(call.request, "offset", 0, 1LL << 40);
    if (page.limit < 1 || page.offset < 0)
        return error(400, "'limit' is 1 to 10000, 'offset' 0 or more");
    return json(200, statusJson(store_, page));
}

ApiResponse HqApi::reports(const Call& call) {
    const std::string day = call.request.param("day");
    int y, m, d;
    char extra;
    if (day.size() != 10 || std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3)
        return error(400, "'day' must be a date, as 2026-12-08");
    return json(200, reportsJson(store_, day));
}

ApiResponse HqApi::sales(const Call& call) {
    ordered_json rows = ordered_json::array();
    for (const auto& s : store_.sales(call.request.param("from"), call.request.param("to"))) {
        rows.push_back({{"store", s.store},
                        {"business_day", s.businessDay},
                        {"quantity", formatAmount(s.quantity, 3)},
                        {"value", formatAmount(s.value, 2)}});
    }
    return json(200, {{"rows", rows}});
}

ApiResponse HqApi::command(const Call& call) {
    const std::string& id = call.path.at("id");
    if (!std::all_of(id.begin(), id.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '_' || c == '.' || c == ':' || c == '-';
        }))
        return error(404, "no such command: '" + id + "'");
    ordered_json answers = ordered_json::object();
    std::string why;
    for (const auto& [shop, payload] : store_.commandResults(id))
        answers[shop] = chain::readMessage(payload, why).value_or(ordered_json());
    return json(200, {{"id", id}, {"answers", answers}});
}

ApiResponse HqApi::registerList(const Call&) {
    ordered_json rows = ordered_json::array();
    for (const HqStore::Enrolled& e : store_.enrolled())
        rows.push_back({{"store", e.store}, {"device", e.device}, {"retired", e.retired}});
    return json(200, {{"register", rows}});
}

ApiResponse HqApi::changeRegister(const std::string& of, const std::string& change,
                                  const std::vector<std::string>& names) {
    const RegisterChange done = changeRegisterOf(store_, of, change, names);
    return json(done.done      ? 200
                : done.badName ? 400
                               : 409,
                {{done.done ? "done" : "error", done.said}});
}

ApiResponse HqApi::addStore(const Call& call) {
    const std::string& store = call.path.at("store");
    if (call.request.query.count("rename"))
        return changeRegister("store", "rename", {store, call.request.param("rename")});
    return changeRegister("store", "add", {store});
}

ApiResponse HqApi::retireStore(const Call& call) {
    return changeRegister("store", "retire", {call.path.at("store")});
}

ApiResponse HqApi::addDevice(const Call& call) {
    return changeRegister("device", "add", {call.path.at("store"), call.path.at("device")});
}

ApiResponse HqApi::retireDevice(const Call& call) {
    return changeRegister("device", "retire", {call.path.at("store"), call.path.at("device")});
}

}  // namespace velko::hq
