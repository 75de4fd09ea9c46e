#include "hq/hq.h"

#include <httplib.h>
#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/price_list.h"
#include "chain/topics.h"
#include "device/amount.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "hq/config.h"
#include "hq/hq_store.h"
#include "hq/intake.h"
#include "hq/register.h"
#include "hq/views.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/host.h"
#include "http/moments.h"
#include "http/server.h"
#include "jobs/scan.h"

namespace velko::hq {

using nlohmann::ordered_json;

// Head office's built-in page, by its file's name, made by http/embed.cmake.
const http::EmbeddedFile* pageFile(const std::string& name);

int runHq(const HqOptions& options) {
    http::prepareStop();
    http::privateFiles();
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    std::unique_ptr<HqStore> store;
    try {
        store = openStore(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    Reader reader(*store, config.maxMessage);
    mosquitto* client = nullptr;
    try {
        // A session the broker keeps: day reports that come while head office is away wait.
        client = chain::makeMqttClient(config.broker, config.clientId, false, &reader);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    mosquitto_connect_callback_set(client, onConnect);
    mosquitto_disconnect_callback_set(client, onDisconnect);
    mosquitto_message_callback_set(client, onMessage);
    reader.client = client;
    auto loop = std::make_unique<chain::MqttLoop>(client, config.broker);
    reader.loop = loop.get();
    loop->start();
    const auto stopBroker = [&] {
        loop.reset();
        reader.client = nullptr;
        mosquitto_destroy(client);
    };

    // Head office's API as a table: each route's path (a pattern of the HTTP library's),
    // whether it needs a token, the query parameters it takes, and its answer.
    const auto jsonBody = [](httplib::Response& res, int status, const ordered_json& body) {
        res.status = status;
        res.set_content(http::safeDump(body, 2), "application/json");
    };
    // Who may: anyone, any token, or an operate token (changes to the register).
    enum class Need { Nothing, Token, Operate };
    struct Route {
        const char* method;
        const char* pattern;
        Need need;
        std::vector<const char*> params;
        std::function<void(const httplib::Request&, httplib::Response&)> answer;
    };
    const auto changeRegister = [&](httplib::Response& res, const std::string& of,
                                    const std::string& change,
                                    const std::vector<std::string>& names) {
        const RegisterChange done = changeRegisterOf(*store, of, change, names);
        jsonBody(res,
                 done.done      ? 200
                 : done.badName ? 400
                                : 409,
                 {{done.done ? "done" : "error", done.said}});
    };
    const std::vector<Route> routes = {
        {"GET",
         "/api/health",
         Need::Nothing,
         {},
         [&](const httplib::Request&, httplib::Response& res) {
             jsonBody(res, 200,
                      {{"status", "up"},
                       {"version", VELKO_VERSION_STRING},
                       {"broker", reader.connected.load()},
                       {"broker_problem", reader.connected ? "" : loop->problem()},
                       {"waiting", reader.waiting()},
                       {"refused", reader.refused()},
                       {"last_refused", reader.lastRefused()}});
         }},
        {"GET",
         "/api/status",
         Need::Token,
         {"store", "state", "limit", "offset"},
         [&](const httplib::Request& req, httplib::Response& res) {
             HqStore::Page page;
             page.store = req.get_param_value("store");
             page.state = req.get_param_value("state");
             const auto number = [&](const char* name, int64_t fallback, int64_t most) {
                 const std::string text = req.get_param_value(name);
                 char* end = nullptr;
                 const long long n = text.empty() ? fallback : std::strtoll(text.c_str(), &end, 10);
                 return (text.empty() || *end == '\0') && n >= 0 && n <= most ? n : -1;
             };
             page.limit = number("limit", 1000, 10000);
             page.offset = number("offset", 0, 1LL << 40);
             if (page.limit < 1 || page.offset < 0)
                 return jsonBody(res, 400,
                                 {{"error", "'limit' is 1 to 10000, 'offset' 0 or more"}});
             jsonBody(res, 200, statusJson(*store, page));
         }},
        {"GET",
         "/api/reports",
         Need::Token,
         {"day"},
         [&](const httplib::Request& req, httplib::Response& res) {
             const std::string day = req.get_param_value("day");
             int y, m, d;
             char extra;
             if (day.size() != 10 ||
                 std::sscanf(day.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3)
                 return jsonBody(res, 400, {{"error", "'day' must be a date, as 2026-12-08"}});
             jsonBody(res, 200, reportsJson(*store, day));
         }},
        {"GET",
         "/api/sales",
         Need::Token,
         {"from", "to"},
         [&](const httplib::Request& req, httplib::Response& res) {
             ordered_json rows = ordered_json::array();
             for (const auto& s :
                  store->sales(req.get_param_value("from"), req.get_param_value("to"))) {
                 rows.push_back({{"store", s.store},
                                 {"business_day", s.businessDay},
                                 {"quantity", formatAmount(s.quantity, 3)},
                                 {"value", formatAmount(s.value, 2)}});
             }
             jsonBody(res, 200, {{"rows", rows}});
         }},
        {"GET",
         R"(/api/commands/([A-Za-z0-9_.:-]+))",
         Need::Token,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             ordered_json answers = ordered_json::object();
             std::string why;
             for (const auto& [shop, payload] : store->commandResults(req.matches[1].str()))
                 answers[shop] = chain::readMessage(payload, why).value_or(ordered_json());
             jsonBody(res, 200, {{"id", req.matches[1].str()}, {"answers", answers}});
         }},
        // The page: the files built in, open to all (they hold no data).
        // The register of the chain, as IT keeps it; changed with an operate token.
        {"GET",
         "/api/register",
         Need::Token,
         {},
         [&](const httplib::Request&, httplib::Response& res) {
             ordered_json rows = ordered_json::array();
             for (const HqStore::Enrolled& e : store->enrolled())
                 rows.push_back({{"store", e.store}, {"device", e.device}, {"retired", e.retired}});
             jsonBody(res, 200, {{"register", rows}});
         }},
        {"POST",
         "/api/register/([^/]+)",
         Need::Operate,
         {"rename"},
         [&](const httplib::Request& req, httplib::Response& res) {
             if (req.has_param("rename"))
                 return changeRegister(res, "store", "rename",
                                       {req.matches[1].str(), req.get_param_value("rename")});
             changeRegister(res, "store", "add", {req.matches[1].str()});
         }},
        {"DELETE",
         "/api/register/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "store", "retire", {req.matches[1].str()});
         }},
        {"POST",
         "/api/register/([^/]+)/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "device", "add", {req.matches[1].str(), req.matches[2].str()});
         }},
        {"DELETE",
         "/api/register/([^/]+)/([^/]+)",
         Need::Operate,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             changeRegister(res, "device", "retire", {req.matches[1].str(), req.matches[2].str()});
         }},
        {"GET",
         R"(/([A-Za-z0-9_.-]*))",
         Need::Nothing,
         {},
         [&](const httplib::Request& req, httplib::Response& res) {
             const std::string name =
                 req.matches[1].str().empty() ? "index.html" : req.matches[1].str();
             const http::EmbeddedFile* file = pageFile(name);
             if (!file || name[0] == '.') return jsonBody(res, 404, {{"error", "no such page"}});
             res.set_content(reinterpret_cast<const char*>(file->data), file->size,
                             http::contentTypeOf(name));
         }},
    };
    http::Server web(config.front.limits);
    // No request to head office has a body to read, and none is read.
    web.set_payload_max_length(0);
    web.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        for (const auto& header : http::securityHeaders())
            res.set_header(header.first, header.second);
        const std::string host = req.get_header_value("Host");
        if (!http::allowedHost(host, config.front.allowedHosts))
            jsonBody(res, 421,
                     {{"error", "head office is not reached by the name '" + host + "'"}});
        else if (std::none_of(routes.begin(), routes.end(),
                              [&](const Route& r) { return req.method == r.method; }) &&
                 req.method != "HEAD")
            jsonBody(res, 405, {{"error", "head office's API takes no " + req.method}});
        else if ((req.has_header("Content-Length") &&
                  req.get_header_value("Content-Length") != "0") ||
                 req.has_header("Transfer-Encoding"))
            jsonBody(res, 413, {{"error", "head office's API takes no body"}});
        else
            return httplib::Server::HandlerResponse::Unhandled;
        return httplib::Server::HandlerResponse::Handled;
    });
    for (const Route& route : routes) {
        const auto handler = [&](const httplib::Request& req, httplib::Response& res) {
            const http::Token* token =
                http::tokenFor(config.tokens, req.get_header_value("Authorization"));
            if (route.need != Need::Nothing && !token)
                return jsonBody(res, 401, {{"error", "this needs 'Authorization: Bearer TOKEN'"}});
            if (route.need == Need::Operate && token->role != http::Role::Operate)
                return jsonBody(res, 403,
                                {{"error", "changing the register needs an operate token"}});
            for (const auto& param : req.params) {
                const std::string& name = param.first;  // a lambda cannot take a structured binding
                if (std::none_of(route.params.begin(), route.params.end(),
                                 [&](const char* p) { return name == p; }))
                    return jsonBody(res, 400,
                                    {{"error", "'" + name + "' is not a parameter here"}});
            }
            route.answer(req, res);
        };
        const std::string method = route.method;
        if (method == "GET") web.Get(route.pattern, handler);
        if (method == "POST") web.Post(route.pattern, handler);
        if (method == "DELETE") web.Delete(route.pattern, handler);
    }
    const int port = web.bindAlone(config.host, config.port);
    if (port < 0) {
        std::fprintf(stderr,
                     "velko hq: cannot listen on %s:%d: another program has the port, or the "
                     "address is not this machine's\n",
                     config.host.c_str(), config.port);
        stopBroker();
        return 2;
    }
    std::thread server([&] { web.listen_after_bind(); });
    std::printf("velko hq: listening on http://%s:%d/\n", config.host.c_str(), port);
    std::fflush(stdout);
    http::waitForStop();
    web.stopServing();
    server.join();
    stopBroker();
    return 0;
}

}  // namespace velko::hq
