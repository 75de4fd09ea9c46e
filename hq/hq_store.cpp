#include "hq/hq_store.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "hq/config.h"

namespace velko::hq {

namespace {

const Migrations kSqlite = {
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
    // The register of the chain as its IT keeps it: a store (device '') and its devices, and
    // when each was retired ('' while it is in service).
    R"(CREATE TABLE register(store TEXT NOT NULL, device TEXT NOT NULL,
           retired TEXT NOT NULL DEFAULT '', PRIMARY KEY(store, device));)",
    // A shop's presence in its own words: its clock, its run, and the devices it serves.
    R"(ALTER TABLE stores ADD COLUMN heard TEXT NOT NULL DEFAULT '';
       ALTER TABLE stores ADD COLUMN started TEXT NOT NULL DEFAULT '';
       ALTER TABLE stores ADD COLUMN seq INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE stores ADD COLUMN devices TEXT NOT NULL DEFAULT '';)",
    // What head office sent (a command to a store, device ''; a promotion to its devices), so
    // that only answers to it are kept; and each device's word on a promotion, as it last said.
    // Answers from before are kept only where they answer something sent.
    R"(CREATE TABLE sent(id TEXT NOT NULL, store TEXT NOT NULL, device TEXT NOT NULL,
           kind TEXT NOT NULL, at TEXT NOT NULL, PRIMARY KEY(id, store, device));
       CREATE TABLE promotion_states(id TEXT NOT NULL, store TEXT NOT NULL, device TEXT NOT NULL,
           state TEXT NOT NULL, start TEXT NOT NULL, ended TEXT NOT NULL, note TEXT NOT NULL,
           PRIMARY KEY(id, store, device));
       DELETE FROM command_results WHERE substr(id, 1, 10) = 'promotion-';)",
};

// The same tables in PostgreSQL, whose INTEGER is of 32 bits.
Migrations postgresSteps() {
    Migrations steps = kSqlite;
    for (std::string& step : steps) {
        for (size_t at; (at = step.find(" INTEGER ")) != std::string::npos;)
            step.replace(at, 9, " BIGINT ");
    }
    return steps;
}

int64_t number(const std::string& text) {
    return text.empty() ? 0 : std::stoll(text);
}

// Device names (which have no spaces) in one column.
std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
}
std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string n; in >> n;) out.push_back(n);
    return out;
}

const char kStoreColumns[] = "store, status, since, heard, started, seq, devices";
StoreState storeRow(const std::vector<std::string>& row) {
    return {row[0], row[1], row[2], row[3], row[4], number(row[5]), split(row[6])};
}

}  // namespace

HqStore::HqStore(const std::string& database)
    : db_(isPostgresUrl(database) ? openPostgres(database, postgresSteps())
                                  : openSqlite(database, kSqlite)) {}

HqStore::~HqStore() = default;

void HqStore::storeStatus(const std::string& store, const std::string& status,
                          const std::string& at, bool retained) {
    if (!retained) {
        db_->run(
            "INSERT INTO stores(store, status, since) VALUES (?1, ?2, ?3) ON CONFLICT(store) "
            "DO UPDATE SET status = excluded.status, since = excluded.since",
            {store, status, at});
    } else {
        db_->run(
            "INSERT INTO stores(store, status, since) VALUES (?1, ?2, '') ON CONFLICT(store) "
            "DO UPDATE SET status = excluded.status, since = '' "
            "WHERE stores.status <> excluded.status",
            {store, status});
    }
}

void HqStore::shopStatus(const StoreState& s) {
    db_->run(std::string("INSERT INTO stores(") + kStoreColumns +
                 ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(store) DO UPDATE SET status = "
                 "excluded.status, since = excluded.since, heard = excluded.heard, started = "
                 "excluded.started, seq = excluded.seq, devices = excluded.devices",
             {s.store, s.status, s.since, s.heard, s.started, s.seq, joined(s.devices)});
}

std::optional<StoreState> HqStore::storeState(const std::string& store) {
    const auto rows =
        db_->run(std::string("SELECT ") + kStoreColumns + " FROM stores WHERE store = ?1", {store})
            .rows;
    if (rows.empty()) return std::nullopt;
    return storeRow(rows[0]);
}

void HqStore::desired(const std::string& store, const std::string& device, int64_t version) {
    db_->run(
        "INSERT INTO devices(store, device, desired) VALUES (?1, ?2, ?3) "
        "ON CONFLICT(store, device) DO UPDATE SET desired = excluded.desired "
        "WHERE excluded.desired > devices.desired",
        {store, device, version});
}

void HqStore::reported(const std::string& store, const std::string& device, int64_t version,
                       const std::string& state, const std::string& detail) {
    db_->run(
        "INSERT INTO devices(store, device, reported, state, detail) VALUES (?1, ?2, ?3, "
        "?4, ?5) ON CONFLICT(store, device) DO UPDATE SET reported = excluded.reported, "
        "state = excluded.state, detail = excluded.detail "
        "WHERE excluded.reported >= devices.reported",
        {store, device, version, state, detail});
}

bool HqStore::dayReport(const DayReport& r, const std::string& payload) {
    return db_->run(
                  "INSERT INTO day_reports(store, device, business_day, version, articles, "
                  "reports, quantity, value, received, payload) VALUES (?1, ?2, ?3, ?4, ?5, "
                  "?6, ?7, ?8, ?9, ?10) ON CONFLICT(store, device, business_day) DO UPDATE SET "
                  "version = excluded.version, articles = excluded.articles, reports = "
                  "excluded.reports, quantity = excluded.quantity, value = excluded.value, "
                  "received = excluded.received, payload = excluded.payload "
                  "WHERE excluded.version > day_reports.version",
                  {r.store, r.device, r.businessDay, r.version, r.articles, r.reports, r.quantity,
                   r.value, r.received, payload})
               .changed > 0;
}

void HqStore::commandResult(const std::string& store, const std::string& id,
                            const std::string& payload) {
    db_->run(
        "INSERT INTO command_results(store, id, payload) VALUES (?1, ?2, ?3) "
        "ON CONFLICT(store, id) DO UPDATE SET payload = excluded.payload",
        {store, id, payload});
}

std::vector<std::pair<std::string, std::string>> HqStore::commandResults(const std::string& id) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& row :
         db_->run("SELECT store, payload FROM command_results WHERE id = ?1 ORDER BY store", {id})
             .rows)
        out.emplace_back(row[0], row[1]);
    return out;
}

void HqStore::sent(const std::string& id, const std::string& kind,
                   const std::vector<std::pair<std::string, std::string>>& to,
                   const std::string& at) {
    for (const auto& [store, device] : to)
        db_->run(
            "INSERT INTO sent(id, store, device, kind, at) VALUES (?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(id, store, device) DO NOTHING",
            {id, store, device, kind, at});
}

std::vector<std::string> HqStore::sentTo(const std::string& id, const std::string& store) {
    std::vector<std::string> out;
    for (const auto& row :
         db_->run("SELECT device FROM sent WHERE id = ?1 AND store = ?2 ORDER BY 1", {id, store})
             .rows)
        out.push_back(row[0]);
    return out;
}

void HqStore::promotionState(const PromotionState& p) {
    db_->run(
        "INSERT INTO promotion_states(id, store, device, state, start, ended, note) VALUES (?1, "
        "?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(id, store, device) DO UPDATE SET state = "
        "excluded.state, start = excluded.start, ended = excluded.ended, note = excluded.note",
        {p.id, p.store, p.device, p.state, p.start, p.end, p.note});
}

std::vector<HqStore::PromotionState> HqStore::promotionStates(const Page& page) {
    std::vector<PromotionState> out;
    for (const auto& row : db_->run("SELECT id, store, device, state, start, ended, note FROM "
                                    "promotion_states WHERE (?1 = '' OR store = ?1) AND (?2 = '' "
                                    "OR state = ?2) ORDER BY id DESC, store, device LIMIT ?3 "
                                    "OFFSET ?4",
                                    {page.store, page.state, page.limit, page.offset})
                               .rows)
        out.push_back({row[0], row[1], row[2], row[3], row[4], row[5], row[6]});
    return out;
}

int64_t HqStore::nextVersion() {
    return number(db_->run("SELECT coalesce(max(v), 0) + 1 FROM (SELECT max(version) AS v FROM "
                           "price_lists UNION ALL SELECT max(desired) FROM devices) AS known")
                      .rows[0][0]);
}

void HqStore::published(int64_t version, const std::string& checksum, const std::string& articles,
                        const std::string& at) {
    db_->run(
        "INSERT INTO price_lists(version, checksum, articles, published) VALUES (?1, ?2, ?3, "
        "?4)",
        {version, checksum, articles, at});
}

std::optional<HqStore::PublishedList> HqStore::priceList(int64_t version) {
    const auto rows =
        db_->run("SELECT checksum, articles FROM price_lists WHERE version = ?1", {version}).rows;
    if (rows.empty()) return std::nullopt;
    return PublishedList{rows[0][0], rows[0][1]};
}

void HqStore::enrol(const std::string& store, const std::string& device) {
    db_->run(
        "INSERT INTO register(store, device) VALUES (?1, ?2) ON CONFLICT(store, device) "
        "DO UPDATE SET retired = ''",
        {store, device});
    if (!device.empty()) enrol(store, "");
}

bool HqStore::retire(const std::string& store, const std::string& device, const std::string& at) {
    // A store retired retires its devices with it.
    return db_->run(
                  "UPDATE register SET retired = ?3 WHERE store = ?1 AND (device = ?2 OR ?2 = "
                  "'') AND retired = ''",
                  {store, device, at})
               .changed > 0;
}

bool HqStore::rename(const std::string& store, const std::string& to) {
    if (!db_->run("SELECT 1 FROM register WHERE store = ?1", {to}).rows.empty()) return false;
    int64_t changed = 0;
    for (const char* table : {"register", "stores", "devices", "day_reports", "command_results",
                              "sent", "promotion_states"})
        changed += db_->run(std::string("UPDATE ") + table + " SET store = ?2 WHERE store = ?1",
                            {store, to})
                       .changed;
    return changed > 0;
}

std::vector<HqStore::Enrolled> HqStore::enrolled() {
    std::vector<Enrolled> out;
    for (const auto& row :
         db_->run("SELECT store, device, retired FROM register ORDER BY 1, 2").rows)
        out.push_back({row[0], row[1], row[2]});
    return out;
}

size_t HqStore::copyInto(HqStore& to) {
    // Every table and its columns, in an order the keys allow.
    static const std::pair<const char*, std::vector<const char*>> kTables[] = {
        {"stores", {"store", "status", "since", "heard", "started", "seq", "devices"}},
        {"devices", {"store", "device", "desired", "reported", "state", "detail"}},
        {"price_lists", {"version", "checksum", "articles", "published"}},
        {"day_reports",
         {"store", "device", "business_day", "version", "articles", "reports", "quantity", "value",
          "received", "payload"}},
        {"command_results", {"store", "id", "payload"}},
        {"register", {"store", "device", "retired"}},
        {"sent", {"id", "store", "device", "kind", "at"}},
        {"promotion_states", {"id", "store", "device", "state", "start", "ended", "note"}},
    };
    size_t copied = 0;
    for (const auto& [table, columns] : kTables) {
        std::string names, places;
        for (size_t i = 0; i < columns.size(); ++i) {
            names += std::string(i ? ", " : "") + columns[i];
            places += std::string(i ? ", " : "") + "?" + std::to_string(i + 1);
        }
        const std::string insert = std::string("INSERT INTO ") + table + "(" + names +
                                   ") VALUES (" + places + ") ON CONFLICT DO NOTHING";
        for (const auto& row : db_->run(std::string("SELECT ") + names + " FROM " + table).rows)
            copied += size_t(to.db_->run(insert, {row.begin(), row.end()}).changed);
    }
    return copied;
}

std::vector<StoreState> HqStore::stores() {
    std::vector<StoreState> out;
    for (const auto& row :
         db_->run(std::string("SELECT ") + kStoreColumns +
                  " FROM stores UNION SELECT DISTINCT store, 'unknown', '', '', '', 0, '' FROM "
                  "devices WHERE store NOT IN (SELECT store FROM stores) UNION SELECT store, "
                  "'unknown', '', '', '', 0, '' FROM register WHERE device = '' AND store NOT IN "
                  "(SELECT store FROM stores) AND store NOT IN (SELECT store FROM devices) "
                  "ORDER BY 1")
             .rows)
        out.push_back(storeRow(row));
    return out;
}

std::vector<DeviceState> HqStore::devices(const std::string& onlyStore) {
    std::vector<DeviceState> out;
    for (const auto& row :
         db_->run("SELECT store, device, desired, reported, state, detail FROM devices WHERE ?1 "
                  "= '' OR store = ?1 UNION SELECT store, device, 0, 0, '', '' FROM register "
                  "WHERE device <> '' AND (?1 = '' OR store = ?1) AND (store, device) NOT IN "
                  "(SELECT store, device FROM devices) ORDER BY 1, 2",
                  {onlyStore})
             .rows)
        out.push_back({row[0], row[1], number(row[2]), number(row[3]), row[4], row[5]});
    // Devices their shops announce, of which head office has heard nothing else yet.
    const size_t known = out.size();
    for (const StoreState& s : stores()) {
        if (!onlyStore.empty() && s.store != onlyStore) continue;
        for (const std::string& d : s.devices) {
            if (std::none_of(out.begin(), out.begin() + long(known), [&](const DeviceState& x) {
                    return x.store == s.store && x.device == d;
                }))
                out.push_back({s.store, d, 0, 0, "", ""});
        }
    }
    std::sort(out.begin(), out.end(), [](const DeviceState& a, const DeviceState& b) {
        return std::tie(a.store, a.device) < std::tie(b.store, b.device);
    });
    return out;
}

std::vector<DayReport> HqStore::dayReports(const std::string& day) {
    std::vector<DayReport> out;
    for (const auto& row :
         db_->run("SELECT store, device, business_day, version, articles, reports, quantity, "
                  "value, received FROM day_reports WHERE business_day = ?1 ORDER BY 1, 2",
                  {day})
             .rows) {
        out.push_back({row[0], row[1], row[2], number(row[3]), number(row[4]), number(row[5]),
                       number(row[6]), number(row[7]), row[8]});
    }
    return out;
}

std::vector<HqStore::Sales> HqStore::sales(const std::string& from, const std::string& to) {
    std::vector<Sales> out;
    for (const auto& row :
         db_->run("SELECT store, business_day, sum(quantity), sum(value) FROM day_reports WHERE "
                  "(?1 = '' OR business_day >= ?1) AND (?2 = '' OR business_day <= ?2) "
                  "GROUP BY store, business_day ORDER BY business_day, store",
                  {from, to})
             .rows)
        out.push_back({row[0], row[1], number(row[2]), number(row[3])});
    return out;
}

std::unique_ptr<HqStore> openStore(const HqConfig& config) {
    if (!config.database.empty()) return std::make_unique<HqStore>(config.database);
    std::error_code error;
    std::filesystem::create_directories(config.data, error);
    return std::make_unique<HqStore>(config.data + "/hq.db");
}

}  // namespace velko::hq
