#include "serve/api.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "cli/article_file.h"
#include "cli/validate.h"
#include "device/amount.h"
#include "serve/embedded_files.h"
#include "serve/views.h"

namespace velko::serve {

using nlohmann::ordered_json;

namespace {

ApiResponse json(int status, const ordered_json& body) {
    ApiResponse r;
    r.status = status;
    r.body = body.dump(2) + "\n";
    return r;
}

ApiResponse error(int status, const std::string& what) {
    return json(status, {{"error", what}});
}

ApiResponse csv(std::string text, const std::string& fileName = "") {
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

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

// A positive whole number; 0 when the text is not one.
int64_t idOf(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::stoll(text);
}

bool isDate(const std::string& text) {
    int y, m, d;
    char extra;
    return text.size() == 10 &&
           std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) == 3 && m >= 1 &&
           m <= 12 && d >= 1 && d <= 31;
}

// Compares secrets in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= uint8_t(a[i] ^ b[i % (b.size() ? b.size() : 1)]);
    return diff == 0;
}

const Token* tokenOf(const Config& config, const ApiRequest& request) {
    const std::string auth = request.header("authorization");
    const std::string prefix = "Bearer ";
    if (auth.compare(0, prefix.size(), prefix) != 0) return nullptr;
    const std::string secret = auth.substr(prefix.size());
    const Token* found = nullptr;
    for (const Token& t : config.tokens) {
        if (sameSecret(secret, t.secret)) found = &t;
    }
    return found;
}

ordered_json faultsJson(const std::vector<cli::Fault>& faults) {
    ordered_json out = ordered_json::array();
    for (const cli::Fault& f : faults) {
        out.push_back({{"file", f.file},
                       {"row", f.row},
                       {"column", f.column},
                       {"reason", f.reason},
                       {"text", cli::describe(f)}});
    }
    return out;
}

// A deletion's codes as a JSON array of codes ("123" or 123), or of objects with a code,
// become the rows the tool reads. Only the codes are taken over: anything else becomes an
// empty code, which the checks name as a fault (and nothing nested is copied or written).
std::string codesAsRows(const std::string& body) {
    const ordered_json doc = ordered_json::parse(body, nullptr, false);
    if (!doc.is_array()) return body;
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
    return rows.dump();
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
bool readList(const ApiRequest& request, const std::string& kind,
              std::vector<ArticleRecord>& records, std::vector<cli::Fault>& faults,
              std::vector<cli::Fault>& warnings) {
    const bool isJson = request.header("content-type").find("json") != std::string::npos;
    const bool codes = kind == "delete";
    const std::string text = codes && isJson ? codesAsRows(request.body) : request.body;
    const auto codec = cli::makeTextCodec();
    cli::loadArticleText("request", isJson ? cli::Format::Json : cli::Format::Csv, text,
                         codes ? cli::RowUse::Codes : cli::RowUse::Upload, *codec, records, faults,
                         &warnings);
    if (faults.empty() && records.empty())
        faults.push_back({"request", 0, "", codes ? "names no code" : "names no article"});
    return faults.empty();
}

}  // namespace

const std::vector<std::string>& apiRoutes() {
    static const std::vector<std::string> routes = {
        "GET /api/health",
        "GET /api/openapi.json",
        "GET /api/token",
        "GET /api/devices",
        "POST /api/check",
        "POST /api/devices/{name}/{action}",
        "POST /api/groups/{group}/{action}",
        "GET /api/jobs",
        "GET /api/jobs/{id}",
        "GET /api/jobs/{id}/result",
        "DELETE /api/jobs/{id}",
        "GET /api/events",
        "GET /api/reports",
        "GET /api/reports/{id}",
        "GET /api/sales",
    };
    return routes;
}

Api::Api(Service& service, std::string webRoot) : service_(service), webRoot_(std::move(webRoot)) {}

ApiResponse Api::handle(const ApiRequest& request) {
    ApiResponse response;
    try {
        response = route(request);
    } catch (const StoreError& e) {
        response = error(503, std::string("the job log is not available: ") + e.what());
    } catch (const std::exception& e) {
        response = error(500, e.what());
    }
    const std::string& origin = service_.config().allowOrigin;
    if (!origin.empty() && request.header("origin") == origin) {
        response.headers.emplace_back("Access-Control-Allow-Origin", origin);
        response.headers.emplace_back("Vary", "Origin");
    }
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

ApiResponse Api::route(const ApiRequest& request) {
    const std::vector<std::string> parts = split(request.path);
    const std::string& method = request.method;
    const Config& config = service_.config();

    // The page and its files, open to all: they hold no data.
    if (parts.empty() || parts[0] != "api") {
        if (method != "GET" && method != "HEAD") return error(405, "the page is only read");
        const std::string name = parts.empty() ? "index.html" : parts[0];
        if (parts.size() > 1 || name == "openapi.json") return error(404, "no such page");
        ApiResponse r;
        r.contentType = contentTypeOf(name);
        if (!webRoot_.empty()) {
            std::ifstream in(webRoot_ + "/" + name, std::ios::binary);
            if (!in || name[0] == '.') return error(404, "no such page");
            r.body.assign(std::istreambuf_iterator<char>(in), {});
            return r;
        }
        const EmbeddedFile* file = embeddedFile(name);
        if (!file) return error(404, "no such page");
        r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
        return r;
    }
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
    const std::string what = parts.size() > 1 ? parts[1] : "";
    if (method == "GET" && parts.size() == 2 && what == "health") {
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
            office = {{"broker", s.broker},
                      {"store", s.store},
                      {"connected", s.connected},
                      {"problem", s.problem},
                      {"outbox", s.outbox}};
        }
        return json(200, {{"status", "up"},
                          {"version", VELKO_VERSION_STRING},
                          {"lines", lines},
                          {"head_office", office}});
    }
    if (method == "GET" && parts.size() == 2 && what == "openapi.json") {
        const EmbeddedFile* file = embeddedFile("openapi.json");
        ApiResponse r;
        r.body.assign(reinterpret_cast<const char*>(file->data), file->size);
        return r;
    }

    const Token* token = tokenOf(config, request);
    if (!token) {
        ApiResponse r = error(401, request.header("authorization").empty()
                                       ? "this needs 'Authorization: Bearer TOKEN'"
                                       : "the token is not known");
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        return r;
    }
    if (method != "GET" && token->role != Role::Operate)
        return error(403, "the token '" + token->name + "' may only read");

    if (what == "token" && parts.size() == 2 && method == "GET") {
        return json(200, {{"name", token->name},
                          {"role", token->role == Role::Operate ? "operate" : "read"}});
    }
    if (what == "devices" && parts.size() == 2 && method == "GET") {
        ordered_json devices = ordered_json::array();
        for (const DeviceConfig& d : config.devices) devices.push_back(deviceJson(service_, d));
        return json(200, {{"devices", devices}});
    }
    if (what == "check" && parts.size() == 2 && method == "POST") {
        std::vector<ArticleRecord> records;
        std::vector<cli::Fault> faults, warnings;
        if (!readList(request, request.param("kind") == "delete" ? "delete" : "upload", records,
                      faults, warnings))
            return json(422,
                        {{"error", "the price list has faults"}, {"faults", faultsJson(faults)}});
        return json(200, {{"articles", records.size()}, {"warnings", faultsJson(warnings)}});
    }
    if ((what == "devices" || what == "groups") && parts.size() == 4 && method == "POST") {
        const std::string& kind = parts[3];
        if (!knownKind(kind)) return error(404, "no such job: '" + kind + "'");
        std::string unknown;
        const auto devices = what == "devices"
                                 ? std::vector<const DeviceConfig*>{service_.device(parts[2])}
                                 : devicesNamed(config, {parts[2]}, &unknown);
        if (devices.empty() || !devices[0] || (what == "groups" && !unknown.empty())) {
            return error(404, std::string("no such ") + (what == "devices" ? "device" : "group") +
                                  ": '" + parts[2] + "'");
        }
        if (what == "groups" && parts[2] != "all" && service_.device(parts[2]))
            return error(404, "no such group: '" + parts[2] + "' (it is a device)");
        JobInput input;
        input.kind = kind;
        std::string problem;
        input.verify = flag(request, "verify", problem);
        input.dryRun = flag(request, "dry_run", problem);
        input.keepOthers = flag(request, "keep_others", problem);
        input.continueOnRefusal = flag(request, "continue", problem);
        const std::string numbers = request.param("numbers");
        if (problem.empty() && kind == "scan") scanNumbers(numbers, input.numbers, problem);
        if (problem.empty() && !numbers.empty() && kind != "scan")
            problem = "'numbers' is for scan";
        if (!problem.empty()) return error(400, problem);
        // An option the kind does not take is a mistake, not something to pass over: an
        // upload asked for as a dry run must not be sent.
        const bool listed = kind == "upload" || kind == "sync";
        if ((input.dryRun || input.keepOthers) && kind != "sync")
            return error(400, "'dry_run' and 'keep_others' are for sync");
        if ((input.verify && !listed) || (input.continueOnRefusal && !listed && kind != "delete"))
            return error(400,
                         "'verify' is for upload and sync, 'continue' for upload, sync and "
                         "delete");
        const std::string key = request.header("idempotency-key");
        if (key.size() > 200) return error(400, "the Idempotency-Key is over 200 characters");
        if (key.rfind("schedule:", 0) == 0)
            return error(400, "Idempotency-Keys beginning 'schedule:' are the schedule's own");
        std::vector<cli::Fault> faults, warnings;
        if (takesList(kind) && !readList(request, kind, input.articles, faults, warnings))
            return json(422,
                        {{"error", "the price list has faults"}, {"faults", faultsJson(faults)}});
        bool existing = false;
        const auto jobs = service_.submit(devices, input, key, "api", existing);
        ApiResponse r;
        if (what == "devices") {
            r = json(existing ? 200 : 202, jobJson(jobs.front()));
            r.headers.emplace_back("Location", "/api/jobs/" + std::to_string(jobs.front().id));
        } else {
            ordered_json list = ordered_json::array();
            for (const JobRecord& j : jobs) list.push_back(jobJson(j));
            r = json(existing ? 200 : 202, {{"jobs", list}});
        }
        return r;
    }
    if (what == "jobs" && parts.size() == 2 && method == "GET") {
        JobFilter filter;
        filter.device = request.param("device");
        filter.state = request.param("state");
        filter.since = request.param("since");
        filter.until = request.param("until");
        if (!request.param("limit").empty()) {
            filter.limit = int(std::min<int64_t>(idOf(request.param("limit")), 1000));
            if (filter.limit <= 0) return error(400, "'limit' must be a number from 1 to 1000");
        }
        ordered_json list = ordered_json::array();
        for (const JobRecord& j : service_.store().jobs(filter)) list.push_back(jobJson(j));
        return json(200, {{"jobs", list}});
    }
    if (what == "jobs" && parts.size() >= 3) {
        const int64_t id = idOf(parts[2]);
        const auto job = id ? service_.store().job(id) : std::nullopt;
        if (!job) return error(404, "no such job: '" + parts[2] + "'");
        if (parts.size() == 3 && method == "GET") return json(200, jobJson(*job));
        if (parts.size() == 3 && method == "DELETE") {
            switch (service_.cancel(id)) {
                case Service::Cancel::Ended:
                    return error(409, "the job has ended (" + job->state + ")");
                case Service::Cancel::Unknown:
                    return error(404, "no such job");
                default:
                    return json(200, jobJson(*service_.store().job(id)));
            }
        }
        if (parts.size() == 4 && parts[3] == "result" && method == "GET") {
            const auto result = service_.store().result(id);
            if (!result) {
                return error(job->ended ? 404 : 409,
                             job->ended ? "the job has no result" : "the job has not ended");
            }
            if (!wantsCsv(request)) {
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
                        out << "," << cli::quoteCsv(d[k].get<std::string>(), ',');
                    out << "\r\n";
                }
                return csv(out.str());
            }
            if (doc.contains("found")) {  // a scan's
                out << "number,session\r\n";
                for (const auto& f : doc["found"])
                    out << f["number"].get<int>() << ","
                        << cli::quoteCsv(f["session"].get<std::string>(), ',') << "\r\n";
                return csv(out.str());
            }
            out << "code,name,price,flag,group,quantity,value\r\n";
            for (const auto& a : doc["articles"]) {
                for (const char* k :
                     {"code", "name", "price", "flag", "group", "quantity", "value"}) {
                    const auto& v = a[k];
                    out << (k[0] == 'c' && k[1] == 'o' ? "" : ",")
                        << cli::quoteCsv(v.is_string() ? v.get<std::string>() : v.dump(), ',');
                }
                out << "\r\n";
            }
            return csv(out.str());
        }
        return error(405, "not a way to use a job");
    }
    if (what == "events" && parts.size() == 2 && method == "GET") {
        ApiResponse r;
        r.contentType = "text/event-stream";
        r.events = true;
        // A number from before a restart (numbers start again at 1) counts as none.
        const uint64_t seen = uint64_t(idOf(request.header("last-event-id")));
        const uint64_t last = service_.events().last();
        r.eventsAfter = seen && seen <= last ? seen : last;
        return r;
    }
    const std::string from = request.param("from"), to = request.param("to");
    if ((!from.empty() && !isDate(from)) || (!to.empty() && !isDate(to)))
        return error(400, "'from' and 'to' must be dates, as 2026-12-08");
    const std::string device = request.param("device");
    if (!device.empty() && !service_.device(device))
        return error(404, "no such device: '" + device + "'");
    if (what == "reports" && parts.size() == 2 && method == "GET") {
        ordered_json list = ordered_json::array();
        for (const ReportRecord& r : service_.store().reports(device, from, to, 1000))
            list.push_back(reportJson(r));
        return json(200, {{"reports", list}});
    }
    if (what == "reports" && parts.size() == 3 && method == "GET") {
        const int64_t id = idOf(parts[2]);
        const auto report = id ? service_.store().report(id) : std::nullopt;
        if (!report) return error(404, "no such report: '" + parts[2] + "'");
        const std::vector<ArticleRecord> rows = service_.store().reportRows(id);
        if (wantsCsv(request)) {
            std::ostringstream out;
            const bool excel = request.param("excel") == "1";
            cli::writeArticles(out, excel ? cli::Format::ExcelCsv : cli::Format::Csv, rows,
                               *cli::makeTextCodec());
            return csv(out.str(), report->file.empty() ? "report.csv" : report->file);
        }
        ordered_json doc = reportJson(*report);
        doc["rows"] = articlesJson(rows);
        return json(200, doc);
    }
    if (what == "sales" && parts.size() == 2 && method == "GET") {
        const std::string by = request.param("by").empty() ? "day" : request.param("by");
        if (by != "day" && by != "article") return error(400, "'by' must be day or article");
        int limit = by == "day" ? 1000 : 10;
        if (!request.param("limit").empty()) {
            limit = int(std::min<int64_t>(idOf(request.param("limit")), 1000));
            if (limit <= 0) return error(400, "'limit' must be a number from 1 to 1000");
        }
        const auto codec = cli::makeTextCodec();
        ordered_json rows = ordered_json::array();
        for (const SalesRow& s : service_.store().sales(from, to, device, by == "article", limit)) {
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
    return error(404, "no such resource: " + method + " " + request.path);
}

}  // namespace velko::serve
