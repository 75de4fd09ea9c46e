#include "serve/api.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "device/amount.h"
#include "device/article_rules.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/untrusted_json.h"
#include "serve/api_support.h"
#include "serve/prices.h"
#include "serve/views.h"

namespace velko::serve {

using nlohmann::ordered_json;

namespace support {

bool isDate(const std::string& text) {
    int y, m, d;
    char extra;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3 || m < 1 || m > 12)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return d >= 1 && d <= days[m - 1];
}

std::string codesAsRows(const std::string& body) {
    std::string why;
    const auto parsed = http::parseUntrusted(body, why);
    if (!parsed || !parsed->is_array()) return body;
    const ordered_json& doc = *parsed;
    ordered_json rows = ordered_json::array();
    for (const auto& item : doc) {
        const ordered_json& code = item.is_object() && item.contains("code") ? item["code"] : item;
        if (code.is_string()) {
            rows.push_back({{"code", code}});
        } else if (code.is_number_unsigned()) {
            rows.push_back({{"code", std::to_string(code.get<uint64_t>())}});
        } else {
            rows.push_back({{"code", ""}});
        }
    }
    return http::safeDump(rows);
}

ApiResponse json(int status, const ordered_json& body) {
    ApiResponse r;
    r.status = status;
    r.body = http::safeDump(body, 2) + "\n";
    return r;
}

ApiResponse error(int status, const std::string& what) {
    return json(status, {{"error", what}});
}

ApiResponse csv(std::string text, const std::string& fileName) {
    ApiResponse r;
    r.contentType = "text/csv; charset=utf-8";
    r.body = std::move(text);
    if (!fileName.empty())
        r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + fileName + "\"");
    return r;
}

bool wantsCsv(const ApiRequest& request) {
    return request.header("accept").find("text/csv") != std::string::npos ||
           request.param("format") == "csv";
}

int64_t idOf(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::stoll(text);
}

bool isDayOrTime(const std::string& text) {
    int h, min, s;
    char extra;
    return isDate(text.substr(0, 10)) &&
           (text.size() == 10 ||
            (text.size() == 20 && text[10] == 'T' && text[19] == 'Z' &&
             std::sscanf(text.c_str() + 11, "%2d:%2d:%2dZ%c", &h, &min, &s, &extra) == 3 &&
             h < 24 && min < 60 && s < 61));
}

ordered_json faultsJson(const std::vector<files::Fault>& faults) {
    ordered_json out = ordered_json::array();
    for (const files::Fault& f : faults) {
        out.push_back({{"file", f.file},
                       {"row", f.row},
                       {"column", f.column},
                       {"reason", f.reason},
                       {"text", files::describe(f)},
                       {"code", f.code},
                       {"params", f.params}});
    }
    return out;
}

bool readList(const ApiRequest& request, const std::string& kind,
              std::vector<ArticleRecord>& records, std::vector<files::Fault>& faults,
              std::vector<files::Fault>& warnings) {
    const bool isJson = request.header("content-type").find("json") != std::string::npos;
    const bool codes = kind == "delete";
    const std::string text = codes && isJson ? codesAsRows(request.body) : request.body;
    const auto codec = files::makeTextCodec();
    files::loadArticleText("request", isJson ? files::Format::Json : files::Format::Csv, text,
                           codes ? files::RowUse::Codes : files::RowUse::Upload, *codec, records,
                           faults, &warnings);
    if (faults.empty() && records.empty())
        faults.push_back({"request", 0, "", codes ? "names no code" : "names no article"});
    return faults.empty();
}

}  // namespace support

using namespace support;

namespace {

// A positive whole number; 0 when the text is not one.

// A day of the calendar as 2026-12-08 (not 2026-02-30).

// A day, or a time in UTC as the job log writes it: 2026-12-09T21:04:10Z.

// A deletion's codes as a JSON array of codes ("123" or 123), or of objects with a code,

// become the rows the tool reads. Only the codes are taken over: anything else becomes an

// empty code, which the checks name as a fault (and nothing nested is copied or written).

// What a request asks, as its Idempotency-Key is bound to it: the token, the route, the query

// and the body, hashed (FNV-1a, 64 bits: it tells requests apart, it guards no secret).

std::string fingerprint(const ApiRequest& request, const std::string& tokenName) {
    std::string text = tokenName + "\n" + request.method + " " + request.path + "\n";
    for (const auto& [name, value] : request.query) text += name + "=" + value + "&";
    text += "\n" + request.body;
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)hash);
    return hex;
}

// "1", "true" or nothing; anything else is a mistake worth naming.

bool flag(const ApiRequest& request, const char* name, std::string& problem) {
    const std::string v = request.param(name);
    if (v.empty() || v == "0" || v == "false") return false;
    if (v == "1" || v == "true") return true;
    problem = std::string("'") + name + "' must be 1 or 0, not '" + v + "'";
    return false;
}

// The price list or codes of a request: the records, or the faults that keep it from being

// sent.

}  // namespace

// One route: its method, its path with {names} for the parts it takes from the request, who
// may call it, the query parameters it takes, and the member that answers it.
struct Api::Route {
    const char* method;
    const char* pattern;
    http::Access access;
    std::vector<const char*> params;
    ApiResponse (Api::*handler)(const Call&);
};

const std::vector<Api::Route>& Api::routes() {
    using Access = http::Access;
    static const std::vector<Route> table = {
        {"GET", "/api/health", Access::Open, {}, &Api::health},
        {"GET", "/api/openapi.json", Access::Open, {}, &Api::description},
        {"GET", "/api/token", Access::Read, {}, &Api::tokenInfo},
        {"GET", "/api/devices", Access::Read, {}, &Api::devices},
        {"POST", "/api/check", Access::Operate, {"kind"}, &Api::check},
        {"POST",
         "/api/devices/{name}/{action}",
         Access::Operate,
         {"verify", "dry_run", "keep_others", "continue", "numbers"},
         &Api::submit},
        {"POST",
         "/api/groups/{group}/{action}",
         Access::Operate,
         {"verify", "dry_run", "keep_others", "continue", "numbers"},
         &Api::submit},
        {"GET",
         "/api/jobs",
         Access::Read,
         {"device", "state", "since", "until", "limit", "by"},
         &Api::jobs},
        {"GET", "/api/jobs/{id}", Access::Read, {}, &Api::job},
        {"GET", "/api/jobs/{id}/result", Access::Read, {"format"}, &Api::jobResult},
        {"DELETE", "/api/jobs/{id}", Access::Operate, {}, &Api::cancel},
        {"GET", "/api/events", Access::Read, {}, &Api::events},
        {"GET", "/api/reports", Access::Read, {"device", "from", "to"}, &Api::reports},
        {"GET", "/api/reports/{id}", Access::Read, {"format", "excel"}, &Api::report},
        {"GET", "/api/sales", Access::Read, {"device", "from", "to", "by", "limit"}, &Api::sales},
        {"GET",
         "/api/prices/lowest",
         Access::Read,
         {"at", "days", "device", "group", "codes", "format", "excel"},
         &Api::lowestPrices},
        {"GET", "/api/prices/{code}/history", Access::Read, {"device"}, &Api::priceHistory},
        {"POST",
         "/api/promotions",
         Access::Operate,
         {"starts_at", "ends_at", "devices"},
         &Api::addPromotion},
        {"GET", "/api/promotions", Access::Read, {"state", "since", "limit"}, &Api::promotions},
        {"GET", "/api/promotions/{id}", Access::Read, {}, &Api::promotion},
        {"DELETE", "/api/promotions/{id}", Access::Operate, {}, &Api::stopPromotion},
    };
    return table;
}

std::vector<Api::RouteInfo> Api::routeInfo() {
    std::vector<RouteInfo> out;
    for (const Route& r : routes()) {
        RouteInfo info{r.method, r.pattern, r.access != http::Access::Open, {}};
        for (const char* p : r.params) info.params.push_back(p);
        out.push_back(std::move(info));
    }
    return out;
}

Api::Api(Service& service, std::string webRoot) : service_(service), webRoot_(std::move(webRoot)) {}

ApiResponse Api::handle(const ApiRequest& request) {
    ApiResponse response;
    try {
        const Route* found = nullptr;
        Call call{request, {}, nullptr};
        auto answered = early(request, found, call);
        response = answered ? std::move(*answered) : (this->*found->handler)(call);
    } catch (const StoreError& e) {
        response = error(503, std::string("the job log is not available: ") + e.what());
    } catch (const std::exception& e) {
        response = error(500, e.what());
    }
    return finish(request, std::move(response));
}

std::optional<ApiResponse> Api::refusal(const ApiRequest& request) {
    const Route* found = nullptr;
    Call call{request, {}, nullptr};
    std::optional<ApiResponse> answered;
    try {
        answered = early(request, found, call);
    } catch (const std::exception&) {
        return std::nullopt;  // the job log's fault: handle() answers it, as for any request
    }
    if (!answered || answered->status < 400) return std::nullopt;
    return finish(request, std::move(*answered));
}

ApiResponse Api::finish(const ApiRequest& request, ApiResponse response) {
    for (const auto& header : http::securityHeaders()) response.headers.push_back(header);
    const std::string& origin = service_.config().allowOrigin;
    if (!origin.empty() && request.header("origin") == origin) {
        response.headers.emplace_back("Access-Control-Allow-Origin", origin);
        response.headers.emplace_back("Vary", "Origin");
    }
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

std::optional<ApiResponse> Api::early(const ApiRequest& request, const Route*& found, Call& call) {
    const std::vector<std::string> parts = http::splitPath(request.path);
    const std::string& method = request.method;
    const Config& config = service_.config();
    const auto refused = http::answerOf;

    if (auto r = http::hostRefusal(request, config.front.allowedHosts, "this service"))
        return refused(*r);
    // The page and its files, open to all: they hold no data.
    if (parts.empty() || parts[0] != "api") return page(parts, method);
    if (method == "OPTIONS") {
        ApiResponse r;
        r.status = 204;
        if (!config.allowOrigin.empty() && request.header("origin") == config.allowOrigin) {
            r.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, DELETE");
            r.headers.emplace_back("Access-Control-Allow-Headers",
                                   "Authorization, Content-Type, Idempotency-Key, Accept");
        }
        return r;
    }
    found = http::findRoute(routes(), request, parts, call.path);
    // Whatever is not read needs the right to operate, found or not.
    const http::Access access = found             ? found->access
                                : method != "GET" ? http::Access::Operate
                                                  : http::Access::Read;
    if (auto r = http::accessRefusal(access, request, config.tokens, call.token))
        return refused(*r);
    if (!found) {
        // A job's own path with a method it does not take: the job is named first.
        if (parts.size() >= 3 && parts[1] == "jobs") {
            const int64_t id = idOf(parts[2]);
            if (!id || !service_.store().job(id))
                return error(404, "no such job: '" + parts[2] + "'");
            return error(405, "not a way to use a job");
        }
        return error(404, "no such resource: " + method + " " + request.path);
    }
    if (auto r = http::parameterRefusal(found->params, request,
                                        std::string(found->method) + " " + found->pattern))
        return refused(*r);
    return std::nullopt;
}

ApiResponse Api::page(const std::vector<std::string>& parts, const std::string& method) {
    if (method != "GET" && method != "HEAD") return error(405, "the page is only read");
    const std::string name = parts.empty() ? "index.html" : parts[0];
    if (parts.size() > 1 || name == "openapi.json") return error(404, "no such page");
    ApiResponse r;
    r.contentType = http::contentTypeOf(name);
    if (!webRoot_.empty()) {
        std::ifstream in(webRoot_ + "/" + name, std::ios::binary);
        if (!in || name[0] == '.') return error(404, "no such page");
        r.body.assign(std::istreambuf_iterator<char>(in), {});
        return r;
    }
    const http::EmbeddedFile* file = embeddedFile(name);
    if (!file) return error(404, "no such page");
    r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
    return r;
}

ApiResponse Api::health(const Call&) {
    const Config& config = service_.config();
    ordered_json lines = ordered_json::array();
    std::map<std::string, ordered_json> byLine;
    for (const DeviceConfig& d : config.devices) byLine[d.line].push_back(d.name);
    for (const auto& [line, devices] : byLine) {
        std::string state = "idle";
        for (const auto& name : devices) {
            const std::string s = service_.deviceState(name);
            if (s != "idle") state = s;
        }
        lines.push_back({{"line", line}, {"devices", devices}, {"state", state}});
    }
    ordered_json office = nullptr;
    if (HeadOffice* h = service_.headOffice()) {
        const HeadOffice::Status s = h->status();
        ordered_json waiting = ordered_json::array();
        for (const OutboxEntry& e : s.waiting)
            waiting.push_back(
                {{"device", e.device},
                 {"business_day", e.businessDay},
                 {"version", e.version},
                 {"since", e.since.empty() ? ordered_json() : ordered_json(e.since)}});
        office = {{"broker", s.broker},
                  {"store", s.store},
                  {"connected", s.connected},
                  {"problem", s.problem},
                  {"outbox", s.outbox},
                  {"waiting_for_receipt", waiting},
                  {"last_refused", s.refused.empty() ? ordered_json() : ordered_json(s.refused)}};
    }
    const std::string degraded = service_.degraded();
    ordered_json answer = {{"status", degraded.empty() ? "up" : "degraded"}};
    if (!degraded.empty()) answer["reason"] = degraded;
    answer.update(
        ordered_json{{"version", VELKO_VERSION_STRING}, {"lines", lines}, {"head_office", office}});
    return json(200, answer);
}

ApiResponse Api::description(const Call&) {
    const http::EmbeddedFile* file = embeddedFile("openapi.json");
    ApiResponse r;
    r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
    return r;
}

ApiResponse Api::tokenInfo(const Call& call) {
    return json(200, {{"name", call.token->name},
                      {"role", call.token->role == Role::Operate ? "operate" : "read"}});
}

ApiResponse Api::devices(const Call&) {
    ordered_json devices = ordered_json::array();
    for (const DeviceConfig& d : service_.config().devices)
        devices.push_back(deviceJson(service_, d));
    return json(200, {{"devices", devices}});
}

ApiResponse Api::check(const Call& call) {
    const ApiRequest& request = call.request;
    std::vector<ArticleRecord> records;
    std::vector<files::Fault> faults, warnings;
    if (!readList(request, request.param("kind") == "delete" ? "delete" : "upload", records, faults,
                  warnings))
        return json(422, {{"error", "the price list has faults"}, {"faults", faultsJson(faults)}});
    return json(200, {{"articles", records.size()}, {"warnings", faultsJson(warnings)}});
}

// A job on a device, or on every device of a group.
ApiResponse Api::submit(const Call& call) {
    const ApiRequest& request = call.request;
    const bool one = call.path.count("name") > 0;
    const std::string& target = one ? call.path.at("name") : call.path.at("group");
    const std::string& kind = call.path.at("action");
    if (!knownKind(kind)) return error(404, "no such job: '" + kind + "'");
    std::string unknown;
    const auto devices = one ? std::vector<const DeviceConfig*>{service_.device(target)}
                             : devicesNamed(service_.config(), {target}, &unknown);
    if (devices.empty() || !devices[0] || (!one && !unknown.empty()))
        return error(404,
                     std::string("no such ") + (one ? "device" : "group") + ": '" + target + "'");
    if (!one && target != "all" && service_.device(target))
        return error(404, "no such group: '" + target + "' (it is a device)");
    JobInput input;
    input.kind = kind;
    input.by = call.token->name;
    std::string problem;
    input.verify = flag(request, "verify", problem);
    input.dryRun = flag(request, "dry_run", problem);
    input.keepOthers = flag(request, "keep_others", problem);
    input.continueOnRefusal = flag(request, "continue", problem);
    const std::string numbers = request.param("numbers");
    if (problem.empty() && kind == "scan") scanNumbers(numbers, input.numbers, problem);
    if (problem.empty() && !numbers.empty() && kind != "scan") problem = "'numbers' is for scan";
    if (!problem.empty()) return error(400, problem);
    // An option the kind does not take is a mistake, not something to pass over: an upload
    // asked for as a dry run must not be sent.
    const bool listed = kind == "upload" || kind == "sync";
    if ((input.dryRun || input.keepOthers) && kind != "sync")
        return error(400, "'dry_run' and 'keep_others' are for sync");
    if ((input.verify && !listed) || (input.continueOnRefusal && !listed && kind != "delete"))
        return error(400,
                     "'verify' is for upload and sync, 'continue' for upload, sync and delete");
    const std::string key = request.header("idempotency-key");
    if (key.size() > 200) return error(400, "the Idempotency-Key is over 200 characters");
    if (!std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
        return error(400, "the Idempotency-Key must be printable ASCII");
    for (const char* own : {"schedule:", "pricelist:", "command:"}) {
        if (key.rfind(own, 0) == 0)
            return error(
                400, std::string("Idempotency-Keys beginning '") + own + "' are the service's own");
    }
    input.request = fingerprint(request, call.token->name);
    std::vector<files::Fault> faults, warnings;
    if (takesList(kind) && !readList(request, kind, input.articles, faults, warnings))
        return json(422, {{"error", "the price list has faults"}, {"faults", faultsJson(faults)}});
    const size_t most = size_t(service_.config().maxArticles);
    if (input.articles.size() > most)
        return error(422, "the list has " + std::to_string(input.articles.size()) +
                              " articles; a device holds at most " + std::to_string(most) +
                              " (max_articles)");
    bool existing = false;
    std::vector<JobRecord> jobs;
    try {
        jobs = service_.submit(devices, input, key, "api", existing);
    } catch (const KeyReused& e) {
        return error(422, e.what());
    } catch (const QueueFull& e) {
        ApiResponse r = error(429, e.what());
        r.headers.emplace_back("Retry-After", "30");
        return r;
    }
    if (one) {
        ApiResponse r = json(existing ? 200 : 202, jobJson(jobs.front()));
        r.headers.emplace_back("Location", "/api/jobs/" + std::to_string(jobs.front().id));
        return r;
    }
    ordered_json list = ordered_json::array();
    for (const JobRecord& j : jobs) list.push_back(jobJson(j));
    return json(existing ? 200 : 202, {{"jobs", list}});
}

ApiResponse Api::jobs(const Call& call) {
    const ApiRequest& request = call.request;
    JobFilter filter;
    filter.device = request.param("device");
    filter.state = request.param("state");
    filter.by = request.param("by");
    filter.since = request.param("since");
    filter.until = request.param("until");
    const char* const states[] = {"queued", "running",   "done",
                                  "failed", "cancelled", "interrupted"};
    if (!filter.state.empty() &&
        std::find(std::begin(states), std::end(states), filter.state) == std::end(states))
        return error(400,
                     "'state' must be queued, running, done, failed, cancelled or interrupted");
    for (const std::string* t : {&filter.since, &filter.until}) {
        if (!t->empty() && !isDayOrTime(*t))
            return error(400,
                         "'since' and 'until' must be a day or a UTC time, as 2026-12-08 or "
                         "2026-12-08T21:04:10Z");
    }
    // A day alone is the whole day.
    if (filter.until.size() == 10) filter.until += "T23:59:60Z";
    if (!request.param("limit").empty()) {
        filter.limit = int(std::min<int64_t>(idOf(request.param("limit")), 1000));
        if (filter.limit <= 0) return error(400, "'limit' must be a number from 1 to 1000");
    }
    ordered_json list = ordered_json::array();
    for (const JobRecord& j : service_.store().jobs(filter)) list.push_back(jobJson(j));
    return json(200, {{"jobs", list}});
}

std::optional<JobRecord> Api::namedJob(const Call& call, ApiResponse& missing) {
    const std::string& text = call.path.at("id");
    const int64_t id = idOf(text);
    // A job whose end the log could not take is known failed to the service.
    auto job = id ? service_.unrecorded(id) : std::nullopt;
    if (!job && id) job = service_.store().job(id);
    if (!job) missing = error(404, "no such job: '" + text + "'");
    return job;
}

ApiResponse Api::job(const Call& call) {
    ApiResponse missing;
    const auto job = namedJob(call, missing);
    return job ? json(200, jobJson(*job)) : missing;
}

ApiResponse Api::cancel(const Call& call) {
    ApiResponse missing;
    const auto job = namedJob(call, missing);
    if (!job) return missing;
    switch (service_.cancel(job->id)) {
        case Service::Cancel::Ended:
            return error(409, "the job has ended (" + job->state + ")");
        case Service::Cancel::Unknown:
            return error(404, "no such job");
        default:
            return json(200, jobJson(*service_.store().job(job->id)));
    }
}

ApiResponse Api::jobResult(const Call& call) {
    ApiResponse missing;
    const auto job = namedJob(call, missing);
    if (!job) return missing;
    const auto result = service_.store().result(job->id);
    if (!result) {
        return error(job->ended ? 404 : 409,
                     job->ended ? "the job has no result" : "the job has not ended");
    }
    if (!wantsCsv(call.request)) {
        ApiResponse r;
        r.body = *result;
        return r;
    }
    const ordered_json doc = ordered_json::parse(*result);
    std::ostringstream out;
    if (doc.contains("differences")) {
        out << "code,what,field,list,device\r\n";
        for (const auto& d : doc["differences"]) {
            out << d["code"].get<std::string>();
            for (const char* k : {"what", "field", "list", "device"})
                out << "," << files::csvText(d[k].get<std::string>(), ',');
            out << "\r\n";
        }
        return csv(out.str());
    }
    if (doc.contains("found")) {  // a scan's
        out << "number,session\r\n";
        for (const auto& f : doc["found"])
            out << f["number"].get<int>() << ","
                << files::csvText(f["session"].get<std::string>(), ',') << "\r\n";
        return csv(out.str());
    }
    out << "code,name,price,flag,group,quantity,value\r\n";
    for (const auto& a : doc["articles"]) {
        for (const char* k : {"code", "name", "price", "flag", "group", "quantity", "value"}) {
            const auto& v = a[k];
            const std::string cell = v.is_string() ? v.get<std::string>() : v.dump();
            out << (k[0] == 'c' && k[1] == 'o' ? "" : ",")
                << (k[0] == 'n' ? files::csvText(cell, ',') : files::quoteCsv(cell, ','));
        }
        out << "\r\n";
    }
    return csv(out.str());
}

ApiResponse Api::events(const Call& call) {
    ApiResponse r;
    r.contentType = "text/event-stream";
    r.events = true;
    // A number from before a restart (numbers start again at 1) counts as none.
    const uint64_t seen = uint64_t(idOf(call.request.header("last-event-id")));
    const uint64_t last = service_.events().last();
    r.eventsAfter = seen && seen <= last ? seen : last;
    r.eventsFor = call.token->name;
    return r;
}

// The filters of the reports and sales: dates, and a configured device.
std::optional<ApiResponse> Api::badFilter(const ApiRequest& request) {
    const std::string from = request.param("from"), to = request.param("to");
    if ((!from.empty() && !isDate(from)) || (!to.empty() && !isDate(to)))
        return error(400, "'from' and 'to' must be dates, as 2026-12-08");
    const std::string device = request.param("device");
    if (!device.empty() && !service_.device(device))
        return error(404, "no such device: '" + device + "'");
    return std::nullopt;
}

ApiResponse Api::reports(const Call& call) {
    const ApiRequest& request = call.request;
    if (auto bad = badFilter(request)) return *bad;
    ordered_json list = ordered_json::array();
    for (const ReportRecord& r : service_.store().reports(
             request.param("device"), request.param("from"), request.param("to"), 1000))
        list.push_back(reportJson(r));
    return json(200, {{"reports", list}});
}

ApiResponse Api::report(const Call& call) {
    const ApiRequest& request = call.request;
    if (auto bad = badFilter(request)) return *bad;
    const std::string& text = call.path.at("id");
    const int64_t id = idOf(text);
    const auto report = id ? service_.store().report(id) : std::nullopt;
    if (!report) return error(404, "no such report: '" + text + "'");
    const std::vector<ArticleRecord> rows = service_.store().reportRows(id);
    if (wantsCsv(request)) {
        std::ostringstream out;
        const bool excel = request.param("excel") == "1";
        files::writeArticles(out, excel ? files::Format::ExcelCsv : files::Format::Csv, rows,
                             *files::makeTextCodec());
        return csv(out.str(), report->file.empty() ? "report.csv" : report->file);
    }
    ordered_json doc = reportJson(*report);
    doc["rows"] = articlesJson(rows);
    return json(200, doc);
}

ApiResponse Api::sales(const Call& call) {
    const ApiRequest& request = call.request;
    if (auto bad = badFilter(request)) return *bad;
    const std::string by = request.param("by").empty() ? "day" : request.param("by");
    if (by != "day" && by != "article") return error(400, "'by' must be day or article");
    int limit = by == "day" ? 1000 : 10;
    if (!request.param("limit").empty()) {
        limit = int(std::min<int64_t>(idOf(request.param("limit")), 1000));
        if (limit <= 0) return error(400, "'limit' must be a number from 1 to 1000");
    }
    const auto codec = files::makeTextCodec();
    ordered_json rows = ordered_json::array();
    for (const SalesRow& s :
         service_.store().sales(request.param("from"), request.param("to"), request.param("device"),
                                by == "article", limit)) {
        ordered_json row;
        if (by == "day") {
            row["day"] = s.key;
        } else {
            row["code"] = s.key;
            row["name"] = codec->toUtf8(s.deviceName);
        }
        row["quantity"] = formatAmount(s.quantity, 3);
        row["value"] = formatAmount(s.value, 2);
        rows.push_back(row);
    }
    return json(200, {{"by", by}, {"rows", rows}});
}

}  // namespace velko::serve
