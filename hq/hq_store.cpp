#include "hq/hq_store.h"

namespace velko::hq {

using serve::Statement;
using serve::Transaction;

namespace {

const char* const kMigrations[] = {
    R"(CREATE TABLE stores(store TEXT PRIMARY KEY, status TEXT NOT NULL, since TEXT NOT NULL);
       CREATE TABLE devices(store TEXT NOT NULL, device TEXT NOT NULL,
           desired INTEGER NOT NULL DEFAULT 0, reported INTEGER NOT NULL DEFAULT 0,
           state TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '',
           PRIMARY KEY(store, device));
       CREATE TABLE price_lists(version INTEGER PRIMARY KEY, checksum TEXT NOT NULL,
           articles TEXT NOT NULL, published TEXT NOT NULL);
       CREATE TABLE day_reports(store TEXT NOT NULL, device TEXT NOT NULL,
           business_day TEXT NOT NULL, version INTEGER NOT NULL, articles INTEGER NOT NULL,
           reports INTEGER NOT NULL, quantity INTEGER NOT NULL, value INTEGER NOT NULL,
           received TEXT NOT NULL, payload TEXT NOT NULL,
           PRIMARY KEY(store, device, business_day));
       CREATE TABLE command_results(store TEXT NOT NULL, id TEXT NOT NULL,
           payload TEXT NOT NULL, PRIMARY KEY(store, id));)",
};

}  // namespace

HqStore::HqStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreError("cannot open the database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    try {
        serve::execute(db_, "PRAGMA journal_mode=WAL");
        serve::execute(db_, "PRAGMA synchronous=FULL");
        serve::migrate(db_, kMigrations, int64_t(sizeof kMigrations / sizeof *kMigrations));
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

HqStore::~HqStore() {
    sqlite3_close(db_);
}

void HqStore::storeStatus(const std::string& store, const std::string& status,
                          const std::string& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_, "INSERT OR REPLACE INTO stores(store, status, since) VALUES (?, ?, ?)")
        .bind(1, store)
        .bind(2, status)
        .bind(3, at)
        .run();
}

void HqStore::desired(const std::string& store, const std::string& device, int64_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_,
              "INSERT INTO devices(store, device, desired) VALUES (?1, ?2, ?3) "
              "ON CONFLICT(store, device) DO UPDATE SET desired = max(desired, ?3)")
        .bind(1, store)
        .bind(2, device)
        .bind(3, version)
        .run();
}

void HqStore::reported(const std::string& store, const std::string& device, int64_t version,
                       const std::string& state, const std::string& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_,
              "INSERT INTO devices(store, device, reported, state, detail) VALUES (?1, ?2, ?3, ?4, "
              "?5) ON CONFLICT(store, device) DO UPDATE SET reported = ?3, state = ?4, "
              "detail = ?5 WHERE ?3 >= reported")
        .bind(1, store)
        .bind(2, device)
        .bind(3, version)
        .bind(4, state)
        .bind(5, detail)
        .run();
}

bool HqStore::dayReport(const DayReport& r, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "INSERT INTO day_reports(store, device, business_day, version, articles, reports, "
                "quantity, value, received, payload) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
                "?10) ON CONFLICT(store, device, business_day) DO UPDATE SET version = ?4, "
                "articles = ?5, reports = ?6, quantity = ?7, value = ?8, received = ?9, "
                "payload = ?10 WHERE ?4 > version");
    s.bind(1, r.store).bind(2, r.device).bind(3, r.businessDay).bind(4, r.version);
    s.bind(5, r.articles).bind(6, r.reports).bind(7, r.quantity).bind(8, r.value);
    s.bind(9, r.received).bind(10, payload).run();
    return sqlite3_changes(db_) > 0;
}

void HqStore::commandResult(const std::string& store, const std::string& id,
                            const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_, "INSERT OR REPLACE INTO command_results(store, id, payload) VALUES (?, ?, ?)")
        .bind(1, store)
        .bind(2, id)
        .bind(3, payload)
        .run();
}

std::vector<std::pair<std::string, std::string>> HqStore::commandResults(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "SELECT store, payload FROM command_results WHERE id = ? ORDER BY store");
    s.bind(1, id);
    std::vector<std::pair<std::string, std::string>> out;
    while (s.step()) out.emplace_back(s.text(0), s.text(1));
    return out;
}

int64_t HqStore::nextVersion() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT max((SELECT coalesce(max(version), 0) FROM price_lists), "
                "(SELECT coalesce(max(desired), 0) FROM devices)) + 1");
    s.step();
    return s.integer(0);
}

void HqStore::published(int64_t version, const std::string& checksum, const std::string& articles,
                        const std::string& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_,
              "INSERT INTO price_lists(version, checksum, articles, published) VALUES (?, ?, ?, ?)")
        .bind(1, version)
        .bind(2, checksum)
        .bind(3, articles)
        .bind(4, at)
        .run();
}

std::vector<StoreState> HqStore::stores() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT store, status, since FROM stores UNION SELECT DISTINCT store, 'unknown', "
                "'' FROM devices WHERE store NOT IN (SELECT store FROM stores) ORDER BY 1");
    std::vector<StoreState> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2)});
    return out;
}

std::vector<DeviceState> HqStore::devices() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT store, device, desired, reported, state, detail FROM devices "
                "UNION SELECT DISTINCT store, device, 0, 0, '', '' FROM day_reports WHERE "
                "(store, device) NOT IN (SELECT store, device FROM devices) ORDER BY 1, 2");
    std::vector<DeviceState> out;
    while (s.step())
        out.push_back({s.text(0), s.text(1), s.integer(2), s.integer(3), s.text(4), s.text(5)});
    return out;
}

std::vector<DayReport> HqStore::dayReports(const std::string& day) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT store, device, business_day, version, articles, reports, quantity, value, "
                "received FROM day_reports WHERE business_day = ? ORDER BY 1, 2");
    s.bind(1, day);
    std::vector<DayReport> out;
    while (s.step()) {
        out.push_back({s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4), s.integer(5),
                       s.integer(6), s.integer(7), s.text(8)});
    }
    return out;
}

std::vector<HqStore::Sales> HqStore::sales(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "SELECT store, business_day, sum(quantity), sum(value) FROM day_reports WHERE "
                "(?1 = '' OR business_day >= ?1) AND (?2 = '' OR business_day <= ?2) "
                "GROUP BY store, business_day ORDER BY business_day, store");
    s.bind(1, from).bind(2, to);
    std::vector<Sales> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.integer(2), s.integer(3)});
    return out;
}

}  // namespace velko::hq
