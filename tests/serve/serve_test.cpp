// The service without HTTP: its configuration, the API's answers to good and bad requests,
// the close-of-day schedule on a clock the test sets, the store across a restart, the API
// description against the routes, and head office's database in SQLite and PostgreSQL.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "hq/hq_store.h"
#include "http/embedded_files.h"
#include "serve/api.h"

namespace velko::serve {
namespace {

const char kOperate[] = "operate-secret-0123456789";
const char kRead[] = "read-only-secret-0123456789";

std::string tempDir() {
    char dir[] = "/tmp/velko-serve-test-XXXXXX";
    return mkdtemp(dir);
}

// Two devices on lines that do not exist (their jobs fail at once), a group of one, a close of
// day at 22:30 for the group.
Config testConfig(const std::string& data) {
    std::vector<std::string> faults;
    Config c = parseConfig(R"(
data = "x"
[[token]]
name = "office"
secret = "operate-secret-0123456789"
role = "operate"
[[token]]
name = "counter"
secret = "read-only-secret-0123456789"
[[device]]
name = "till-1"
line = "/nonexistent/velko-line-1"
group = "front"
[[device]]
name = "till-2"
line = "/nonexistent/velko-line-2"
number = 2
[[close_day]]
at = "22:30"
devices = ["front"]
)",
                           "test.toml", faults);
    EXPECT_TRUE(faults.empty()) << faults.front();
    c.data = data;
    return c;
}

std::time_t localAt(int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(ServeConfig, FaultsNameTheirLineAndTheServiceDoesNotStart) {
    struct Case {
        const char* text;
        const char* fault;
    } cases[] = {
        {"listen = \"nowhere\"\n", "test.toml:1: 'listen' must be HOST:PORT"},
        {"[[device]]\nname = \"a\"\nline = \"/dev/x\"\nnumber = 100\n",
         "test.toml:4: 'number' must be a whole number from 0 to 99"},
        {"[[device]]\nname = \"a b\"\nline = \"/dev/x\"\n", "test.toml:2: 'name' must be letters"},
        {"[[device]]\nname = \"a\"\n", "test.toml:1: 'line' is missing"},
        {"[[token]]\nname = \"t\"\nsecret = \"short\"\n",
         "test.toml:3: 'secret' must be 16 characters or more"},
        {"[[token]]\nname = \"t\"\nsecret = \"0123456789abcdef\"\nrole = \"admin\"\n",
         "test.toml:4: 'role' must be \"read\" or \"operate\""},
        {"[[close_day]]\nat = \"25:00\"\ndevices = [\"front\"]\n",
         "test.toml:2: 'at' must be a time of day"},
        {"[[close_day]]\nat = \"22:00\"\ndevices = [\"nobody\"]\n",
         "test.toml:3: 'nobody' is neither a device nor a group"},
        {"litsen = \"127.0.0.1:1\"\n", "test.toml:1: unknown key 'litsen'"},
        {"[head_office]\nbroker = \"http://hq:1883\"\nstore = \"shop 1\"\n",
         "test.toml:2: 'broker' must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
        {"[head_office]\nbroker = \"mqtts://hq\"\nstore = \"shop 1\"\n",
         "test.toml:3: 'store' must be letters, digits, '-' and '_'"},
        {"listen = \n", "test.toml:1:"},
        {"", "test.toml: no [[device]] is configured"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> faults;
        parseConfig(c.text, "test.toml", faults);
        bool found = false;
        for (const auto& f : faults) found |= f.find(c.fault) == 0;
        EXPECT_TRUE(found) << c.text << "\nwanted: " << c.fault
                           << "\nfirst: " << (faults.empty() ? "none" : faults.front());
    }
}

// The example holds a placeholder secret, too short on purpose: the service does not start
// with a secret anyone could read in the package.
TEST(ServeConfig, TheShippedExampleFaultsOnlyOnItsPlaceholderSecret) {
    const std::string path = std::string(VELKO_SOURCE_DIR) + "/packaging/debian/velko.toml";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no example at " << path;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::string> faults;
    parseConfig(text.str(), path, faults);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find("'secret' must be 16 characters or more"), std::string::npos);
}

struct Call {
    const char* method;
    const char* target;  // path and query
    const char* token;
    const char* body;
    int status;
    const char* contentType = "text/csv";
};

ApiRequest requestFor(const Call& c) {
    ApiRequest r;
    r.method = c.method;
    const std::string target = c.target;
    const size_t q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) {
        std::stringstream params(target.substr(q + 1));
        for (std::string kv; std::getline(params, kv, '&');) {
            const size_t eq = kv.find('=');
            r.query[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
        }
    }
    if (c.token) r.headers["authorization"] = std::string("Bearer ") + c.token;
    r.headers["content-type"] = c.contentType;
    r.body = c.body;
    return r;
}

TEST(ServeApi, AnswersEveryKindOfRequestWithItsStatus) {
    Service service(testConfig(tempDir()));
    Api api(service);
    const char* list = "code,name,price\n123,KAWA,4.50\n";
    // Nested deeper than any stack copies, prints or frees.
    const std::string deep = std::string(200000, '[') + "\"1\"" + std::string(200000, ']');
    const Call calls[] = {
        {"GET", "/api/health", nullptr, "", 200},
        {"GET", "/api/openapi.json", nullptr, "", 200},
        {"GET", "/", nullptr, "", 200},
        {"GET", "/../velko.db", nullptr, "", 404},
        {"GET", "/api/devices", nullptr, "", 401},
        {"GET", "/api/devices", "not-a-token-of-ours", "", 401},
        {"GET", "/api/devices", kRead, "", 200},
        {"POST", "/api/devices/till-1/upload", kRead, list, 403},
        {"POST", "/api/devices/till-1/upload", kOperate, list, 202},
        {"POST", "/api/devices/till-9/upload", kOperate, list, 404},
        {"POST", "/api/devices/till-1/reboot", kOperate, "", 404},
        {"POST", "/api/groups/front/download", kOperate, "", 202},
        {"POST", "/api/groups/all/close-day", kOperate, "", 202},
        {"POST", "/api/groups/back/download", kOperate, "", 404},
        {"POST", "/api/groups/till-1/download", kOperate, "", 404},
        {"POST", "/api/devices/till-1/upload?verify=yes", kOperate, list, 400},
        {"POST", "/api/devices/till-1/upload?dry_run=1", kOperate, list, 400},
        {"POST", "/api/devices/till-1/close-day?continue=1", kOperate, "", 400},
        {"POST", "/api/devices/till-1/download?numbers=1", kOperate, "", 400},
        {"POST", "/api/devices/till-1/scan?numbers=1-100", kOperate, "", 400},
        {"POST", "/api/groups/all/scan?numbers=0-3", kOperate, "", 202},
        {"POST", "/api/devices/till-1/delete", kOperate, "[[[[[[[[\"1\"]]]]]]]]", 422,
         "application/json"},
        {"POST", "/api/devices/till-1/upload", kOperate, "code,name,price\n123,KAWA,4.505\n", 422},
        {"POST", "/api/devices/till-1/upload", kOperate, "code,name,price\n", 422},
        {"POST", "/api/devices/till-1/upload", kOperate, "[{\"code\": 1", 422, "application/json"},
        {"POST", "/api/devices/till-1/delete", kOperate, "[\"123\", 456]", 202, "application/json"},
        {"POST", "/api/devices/till-1/delete", kOperate, "[\"12x\"]", 422, "application/json"},
        {"POST", "/api/check", kOperate, list, 200},
        {"POST", "/api/check", kOperate, "code;nazwa;cena\n1;A;1,5\n1;B;2\n", 422},
        {"GET", "/api/jobs?device=till-1&state=queued", kRead, "", 200},
        {"GET", "/api/jobs?limit=0", kRead, "", 400},
        // What a filter or a route does not take is named, never passed over.
        {"POST", "/api/devices/till-1/sync?dry-run=1", kOperate, list, 400},
        {"GET", "/api/jobs?since=yesterday", kRead, "", 400},
        {"GET", "/api/jobs?state=bogus", kRead, "", 400},
        {"GET", "/api/jobs?since=2026-12-08&until=2026-12-09T10:00:00Z", kRead, "", 200},
        {"GET", "/api/reports?from=2026-02-30", kRead, "", 400},
        {"GET", "/api/health?verbose=1", nullptr, "", 400},
        {"POST", "/api/check?kind=delete", kOperate, deep.c_str(), 422, "application/json"},
        {"GET", "/api/jobs/1", kRead, "", 200},
        {"GET", "/api/jobs/1/result", kRead, "", 409},
        {"GET", "/api/jobs/999", kRead, "", 404},
        {"GET", "/api/jobs/abc", kRead, "", 404},
        {"DELETE", "/api/jobs/1", kRead, "", 403},
        {"DELETE", "/api/jobs/1", kOperate, "", 200},
        {"DELETE", "/api/jobs/1", kOperate, "", 409},
        {"GET", "/api/reports?from=2026-12-01&to=2026-12-31", kRead, "", 200},
        {"GET", "/api/reports?from=yesterday", kRead, "", 400},
        {"GET", "/api/reports?device=till-9", kRead, "", 404},
        {"GET", "/api/reports/1", kRead, "", 404},
        {"GET", "/api/sales?by=article&limit=5", kRead, "", 200},
        {"GET", "/api/sales?by=week", kRead, "", 400},
        {"GET", "/api/events", kRead, "", 200},
        {"GET", "/api/nothing", kRead, "", 404},
    };
    for (const Call& c : calls) {
        const ApiResponse r = api.handle(requestFor(c));
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << "\n"
                                      << r.body.substr(0, 500);
        if (r.status >= 400 && r.contentType == "application/json") {
            EXPECT_FALSE(nlohmann::json::parse(r.body).value("error", "").empty()) << c.target;
        }
    }
    // A page elsewhere that has its name resolve here (DNS rebinding) is not answered; the
    // machine's addresses and localhost are, and every answer says how it may be used.
    for (const auto& [host, status] : std::vector<std::pair<std::string, int>>{
             {"evil.example:8640", 421}, {"127.0.0.1:8640", 200}, {"localhost", 200}, {"", 200}}) {
        ApiRequest health = requestFor({"GET", "/api/health", nullptr, "", 200});
        health.headers["host"] = host;
        const ApiResponse r = api.handle(health);
        EXPECT_EQ(r.status, status) << host;
        EXPECT_TRUE(std::count(
            r.headers.begin(), r.headers.end(),
            std::make_pair(std::string("X-Content-Type-Options"), std::string("nosniff"))));
    }
}

TEST(ServeApi, AKeyNamesOneRequestItsJobsComeBackForItAndNoOtherTakesIt) {
    Service service(testConfig(tempDir()));
    Api api(service);
    ApiRequest first = requestFor({"POST", "/api/groups/all/download", kOperate, "", 202});
    first.headers["idempotency-key"] = "back-office-42";
    const ApiResponse made = api.handle(first);
    ASSERT_EQ(made.status, 202);
    // A lost answer asked for again gives the same jobs.
    const ApiResponse again = api.handle(first);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(nlohmann::json::parse(again.body)["jobs"], nlohmann::json::parse(made.body)["jobs"]);
    EXPECT_EQ(service.store().jobs({}).size(), 2u);
    // The same key with another request would have dropped that request without a word:
    // another path, another body, another token are all refused, and nothing is queued.
    ApiRequest other = requestFor({"POST", "/api/devices/till-2/download", kOperate, "", 202});
    other.headers["idempotency-key"] = "back-office-42";
    const ApiResponse reused = api.handle(other);
    EXPECT_EQ(reused.status, 422);
    EXPECT_NE(reused.body.find("another request"), std::string::npos) << reused.body;
    ApiRequest otherBody = first;
    otherBody.body = "x";
    EXPECT_EQ(api.handle(otherBody).status, 422);
    EXPECT_EQ(service.store().jobs({}).size(), 2u);
    // Keys the service makes are its own, and a key is printable ASCII.
    for (const char* key : {"schedule:2026-12-08T22:30:front", "pricelist:till-1:7", "command:abc",
                            "caf\xE9", "tab\there"}) {
        other.headers["idempotency-key"] = key;
        EXPECT_EQ(api.handle(other).status, 400) << key;
    }
    // A client's key is forgotten after idempotency_days: the same key makes new jobs then.
    bool existing = true;
    JobRecord job;
    job.device = "till-1";
    job.kind = "download";
    job.origin = "api";
    job.created = "2026-01-01T00:00:00Z";
    service.store().accept("old-key", "r", "", {job}, existing);
    EXPECT_FALSE(existing);
    service.store().accept("old-key", "r", "2026-01-01T00:00:00Z", {job}, existing);
    EXPECT_TRUE(existing);
    service.store().accept("old-key", "r", "2026-01-02T00:00:00Z", {job}, existing);
    EXPECT_FALSE(existing);
}

TEST(ServeSchedule, ClosesTheDayOncePerEntryAndDayWithinTwoHoursOfItsTime) {
    const std::string data = tempDir();
    {
        Service service(testConfig(data));
        // A second service on the same data would mark this one's jobs interrupted.
        EXPECT_THROW(Service second(testConfig(data)), StoreError);
        const auto scheduled = [&] {
            JobFilter f;
            size_t n = 0;
            for (const auto& j : service.store().jobs(f)) n += j.origin == "schedule";
            return n;
        };
        service.tickSchedule(localAt(8, 22, 29));
        EXPECT_EQ(scheduled(), 0u);
        service.tickSchedule(localAt(8, 22, 30));
        service.tickSchedule(localAt(8, 23, 10));
        EXPECT_EQ(scheduled(), 1u);  // "front" is till-1 alone, once
        const auto job = service.store().jobs({}).front();
        EXPECT_EQ(job.device, "till-1");
        EXPECT_EQ(job.kind, "close-day");
        EXPECT_EQ(job.key.rfind("schedule:2026-12-08T22:30", 0), 0u) << job.key;
        service.tickSchedule(localAt(9, 8, 0));  // the morning after: the night is not made up
        EXPECT_EQ(scheduled(), 1u);
    }
    // After a restart, the day already closed is not closed again; the next day is.
    Service service(testConfig(data));
    service.tickSchedule(localAt(8, 22, 40));
    EXPECT_EQ(service.store().jobs({}).size(), 1u);
    EXPECT_EQ(service.store().jobs({}).front().state, "interrupted");
    service.tickSchedule(localAt(9, 22, 31));
    EXPECT_EQ(service.store().jobs({}).size(), 2u);

    EXPECT_EQ(service.businessDay(localAt(9, 3, 59)), "2026-12-08");
    EXPECT_EQ(service.businessDay(localAt(9, 4, 0)), "2026-12-09");
    EXPECT_EQ(service.businessDay(localAt(1, 0, 30)), "2026-11-30");
}

TEST(ServeStore, AStopLeavesNothingRunningAndNoResetPending) {
    const std::string data = tempDir();
    {
        Store store(data + "/velko.db");
        bool existing = false;
        JobRecord running, queued;
        running.device = queued.device = "till-1";
        running.kind = queued.kind = "close-day";
        running.created = queued.created = "2026-12-08T21:30:00Z";
        const auto jobs = store.accept("", "", "", {running, queued}, existing);
        store.started(jobs[0].id, "2026-12-08T21:30:01Z");
        ReportRecord report;
        report.device = "till-1";
        report.job = jobs[0].id;
        report.businessDay = "2026-12-08";
        report.closedAt = "2026-12-08T21:30:05Z";
        ArticleRecord sold{};
        std::strcpy(sold.code, "0000000000123");
        std::strcpy(sold.name, "KAWA");
        sold.quantityCounter = 2000;
        sold.valueCounter = 900;
        report.articles = 1;
        report.quantity = 2000;
        report.value = 900;
        store.addReport(report, {sold});
        // A second report whose reset was never sent: its sales come again in the next one.
        report.reset = "not_sent";
        store.addReport(report, {sold});
    }  // the process dies here, as with kill -9: nothing else is written
    Store store(data + "/velko.db");
    EXPECT_EQ(store.interruptUnfinished("2026-12-08T22:00:00Z"), 2);
    const auto jobs = store.jobs({});
    for (const auto& j : jobs) EXPECT_EQ(j.state, "interrupted");
    EXPECT_NE(jobs[1].detail.find("while the job ran"), std::string::npos);
    EXPECT_NE(jobs[0].detail.find("before the job started"), std::string::npos);
    EXPECT_EQ(store.report(1)->reset, "unconfirmed");
    const auto sales = store.sales("2026-12-08", "2026-12-08", "", true, 10);
    ASSERT_EQ(sales.size(), 1u);
    EXPECT_EQ(sales[0].key, "123");
    EXPECT_EQ(sales[0].value, 900);  // the report never reset is not counted twice
    EXPECT_EQ(store.integrityCheck(), "ok");
}

TEST(ServeApiDescription, NamesEveryRouteAndNoOther) {
    const http::EmbeddedFile* file = embeddedFile("openapi.json");
    ASSERT_NE(file, nullptr);
    const auto doc =
        nlohmann::json::parse(std::string(reinterpret_cast<const char*>(file->data), file->size));
    EXPECT_EQ(doc["info"]["version"], VELKO_VERSION_STRING);
    // Each route with the query parameters it takes, as described and as the table has them.
    std::set<std::string> described, routes;
    for (const auto& [path, item] : doc["paths"].items()) {
        for (const auto& [method, op] : item.items()) {
            std::string route = method;
            for (char& c : route) c = char(std::toupper(static_cast<unsigned char>(c)));
            route += " " + path;
            std::set<std::string> params;
            for (const auto& p : op.value("parameters", nlohmann::json::array())) {
                if (p["in"] == "query") params.insert(p["name"].get<std::string>());
            }
            for (const std::string& p : params) route += " " + p;
            described.insert(route);
        }
    }
    for (const Api::RouteInfo& r : Api::routeInfo()) {
        std::string route = r.method + " " + r.pattern;
        for (const std::string& p : std::set<std::string>(r.params.begin(), r.params.end()))
            route += " " + p;
        routes.insert(route);
    }
    EXPECT_EQ(described, routes);
}

// Head office's database keeps each thing once at its highest version, whatever arrives twice
// or late, and keeps it across a reopening: the same in SQLite and in PostgreSQL (when a server
// is given, as ./scripts/test gives one).
TEST(HqStore, KeepsEachThingOnceAtItsHighestVersionInSqliteAndPostgres) {
    std::vector<std::string> databases = {tempDir() + "/hq.db"};
    if (const char* url = std::getenv("VELKO_TEST_POSTGRES")) databases.push_back(url);
    for (const std::string& database : databases) {
        SCOPED_TRACE(database);
        {
            hq::HqStore store(database);
            store.storeStatus("shop-1", "online", "t1", false);
            store.storeStatus("shop-1", "offline", "t2", false);
            store.storeStatus("shop-1", "offline", "t9", true);  // the broker's memory, later
            store.storeStatus("shop-2", "offline", "t9", true);  // of a time unknown
            store.desired("shop-1", "till-1", 3);
            store.desired("shop-1", "till-1", 2);  // older: no change
            store.reported("shop-1", "till-1", 3, "verified", "");
            store.reported("shop-1", "till-1", 1, "failed", "late");  // older: no change
            store.published(4, "fnv1a64:0", "[]", "t3");
            hq::DayReport r{"shop-1", "till-1", "2026-12-08", 5, 2, 1, 5'000'000'000, 1999, "t4"};
            EXPECT_TRUE(store.dayReport(r, "{}"));
            EXPECT_FALSE(store.dayReport(r, "{}"));  // delivered again
            r.version = 4;
            EXPECT_FALSE(store.dayReport(r, "{}"));  // an older close of the day
            r.version = 6;
            r.value = 2500;
            EXPECT_TRUE(store.dayReport(r, "{}"));
            hq::DayReport other{"shop-1", "till-2", "2026-12-08", 1, 1, 1, 1000, 500, "t5"};
            EXPECT_TRUE(store.dayReport(other, "{}"));
            store.commandResult("shop-1", "c-1", "{\"first\":1}");
            store.commandResult("shop-1", "c-1", "{\"again\":1}");
            store.sent("p-1", "promotion", {{"shop-1", "till-1"}}, "t6");
            store.promotionState({"p-1", "shop-1", "till-1", "started", "done", "", "n"});
            store.promotionState({"p-1", "shop-1", "till-1", "ended", "done", "done", "m"});
        }
        hq::HqStore store(database);  // reopened: the schema is there, nothing is lost
        EXPECT_EQ(store.nextVersion(), 5);
        const auto stores = store.stores();
        ASSERT_EQ(stores.size(), 2u);
        EXPECT_EQ(std::make_pair(stores[0].status, stores[0].since),
                  std::make_pair(std::string("offline"), std::string("t2")));
        EXPECT_EQ(stores[1].since, "");
        const auto devices = store.devices();
        ASSERT_EQ(devices.size(), 1u);  // a report alone (till-2's) makes no device
        EXPECT_EQ(devices[0].device, "till-1");
        EXPECT_EQ(std::make_tuple(devices[0].desired, devices[0].reported, devices[0].state),
                  std::make_tuple(int64_t(3), int64_t(3), std::string("verified")));
        const auto reports = store.dayReports("2026-12-08");
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(std::make_tuple(reports[0].version, reports[0].value), std::make_tuple(6, 2500));
        const auto sales = store.sales("2026-12-01", "");
        ASSERT_EQ(sales.size(), 1u);
        EXPECT_EQ(std::make_tuple(sales[0].quantity, sales[0].value),
                  std::make_tuple(int64_t(5'000'001'000), int64_t(3000)));
        EXPECT_TRUE(store.sales("2026-12-09", "").empty());
        const auto answers = store.commandResults("c-1");
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].second, "{\"again\":1}");
        EXPECT_EQ(store.sentTo("p-1", "shop-1"), std::vector<std::string>{"till-1"});
        EXPECT_TRUE(store.sentTo("p-1", "shop-2").empty());
        const auto said = store.promotionStates({});
        ASSERT_EQ(said.size(), 1u);  // the device's last word
        EXPECT_EQ(std::make_tuple(said[0].state, said[0].end, said[0].note),
                  std::make_tuple("ended", "done", "m"));
        EXPECT_TRUE(store.promotionStates({"shop-2", "", 10, 0}).empty());
    }
    // Moved to another database (SQLite to PostgreSQL, or here back): every row, once, however
    // often it is copied.
    hq::HqStore last(databases.back()), copy(tempDir() + "/copy.db");
    // 2 stores, 1 device, 1 list, 2 reports, 1 answer, 1 sent, 1 promotion's state
    EXPECT_EQ(last.copyInto(copy), 9u);
    EXPECT_EQ(last.copyInto(copy), 0u);
    EXPECT_EQ(copy.dayReports("2026-12-08").size(), 2u);
    EXPECT_EQ(copy.stores().size(), 2u);
    hq::HqStore first(databases.front());
    EXPECT_EQ(first.copyInto(last), 0u);  // it has them all already
}

}  // namespace
}  // namespace velko::serve
