#include "serve/store.h"

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "device/article_rules.h"

namespace velko::serve {
namespace {

// The schema's steps, taken at start as far as the database has not taken them.
const char* const kMigrations[] = {
    R"(CREATE TABLE jobs(
           id INTEGER PRIMARY KEY,
           device TEXT NOT NULL, kind TEXT NOT NULL, state TEXT NOT NULL, origin TEXT NOT NULL,
           idempotency_key TEXT,
           done INTEGER NOT NULL DEFAULT 0, total INTEGER NOT NULL DEFAULT -1,
           counts TEXT NOT NULL DEFAULT '',
           exit_status INTEGER, code INTEGER, name TEXT, detail TEXT,
           created TEXT NOT NULL, started TEXT, finished TEXT,
           result TEXT, report INTEGER);
       CREATE INDEX jobs_by_key ON jobs(idempotency_key) WHERE idempotency_key IS NOT NULL;
       CREATE INDEX jobs_by_device ON jobs(device, id);
       CREATE TABLE reports(
           id INTEGER PRIMARY KEY, device TEXT NOT NULL, job INTEGER NOT NULL,
           business_day TEXT NOT NULL, closed_at TEXT NOT NULL,
           articles INTEGER NOT NULL, quantity INTEGER NOT NULL, value INTEGER NOT NULL,
           reset TEXT NOT NULL, file TEXT NOT NULL);
       CREATE INDEX reports_by_day ON reports(business_day, device);
       CREATE TABLE report_rows(
           report INTEGER NOT NULL REFERENCES reports(id), code TEXT NOT NULL, name BLOB NOT NULL,
           price INTEGER NOT NULL, flag INTEGER NOT NULL, grp INTEGER NOT NULL,
           quantity INTEGER NOT NULL, value INTEGER NOT NULL);
       CREATE INDEX report_rows_by_report ON report_rows(report);
       CREATE TABLE known_tables(device TEXT PRIMARY KEY, at TEXT NOT NULL);
       CREATE TABLE known_articles(
           device TEXT NOT NULL, code TEXT NOT NULL, name BLOB NOT NULL,
           price INTEGER NOT NULL, flag INTEGER NOT NULL, grp INTEGER NOT NULL,
           quantity INTEGER NOT NULL, value INTEGER NOT NULL, PRIMARY KEY(device, code));)",
    // Day reports waiting for head office's broker: one row per device and business day, the
    // message made from the day's reports when it is sent.
    R"(CREATE TABLE outbox(
           device TEXT NOT NULL, business_day TEXT NOT NULL, version INTEGER NOT NULL,
           PRIMARY KEY(device, business_day));)",
    // The price list head office last had verified on each device, to apply its next changes to.
    R"(CREATE TABLE price_lists(
           device TEXT PRIMARY KEY, version INTEGER NOT NULL, checksum TEXT NOT NULL,
           articles TEXT NOT NULL);)",
    // What request an Idempotency-Key came with.
    R"(ALTER TABLE jobs ADD COLUMN request TEXT;)",
    // Since when a day has waited for head office's receipt.
    R"(ALTER TABLE outbox ADD COLUMN since TEXT;)",
    // Who started a job (a token's name, the schedule, head office), and whether it was a
    // preview that changed nothing.
    R"(ALTER TABLE jobs ADD COLUMN started_by TEXT;
       ALTER TABLE jobs ADD COLUMN preview INTEGER NOT NULL DEFAULT 0;
       CREATE INDEX jobs_by_starter ON jobs(started_by, id);)",
    // Every price an article had on a device, a row per change; codes as numbers write them.
    R"(CREATE TABLE price_history(
           id INTEGER PRIMARY KEY, device TEXT NOT NULL, code TEXT NOT NULL, at TEXT NOT NULL,
           price INTEGER, name BLOB, grp INTEGER NOT NULL DEFAULT 0, job INTEGER);
       CREATE INDEX price_history_by_article ON price_history(device, code, id);)",
    // Promotions, their articles as the 48-byte records one after the other.
    R"(CREATE TABLE promotions(
           id INTEGER PRIMARY KEY, starts_at TEXT NOT NULL, ends_at TEXT NOT NULL,
           state TEXT NOT NULL, started_by TEXT NOT NULL, created TEXT NOT NULL,
           articles BLOB NOT NULL, source TEXT NOT NULL DEFAULT '');
       CREATE TABLE promotion_devices(
           promotion INTEGER NOT NULL, device TEXT NOT NULL, start_job INTEGER, end_job INTEGER,
           note TEXT NOT NULL DEFAULT '', PRIMARY KEY(promotion, device));)",
};

// Puts the day of a report whose counters are, or may be, zeroed into the outbox. The day's
// version is its newest report's id: it only rises, whether or not the day was sent before,
// so head office keeps the highest it has seen.
const char kQueueDay[] =
    "INSERT INTO outbox(device, business_day, version, since) "
    "SELECT device, business_day, id, strftime('%Y-%m-%dT%H:%M:%SZ', 'now') FROM reports "
    "WHERE id = ?1 "
    "ON CONFLICT(device, business_day) DO UPDATE SET version = max(version, excluded.version)";

std::string fieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

void bindArticle(Statement& s, int first, const ArticleRecord& r) {
    const std::string code = fieldText(r.code, sizeof r.code);
    s.bind(first, code)
        .bindBlob(first + 1, r.name, strnlen(r.name, sizeof r.name))
        .bind(first + 2, r.price)
        .bind(first + 3, r.flag)
        .bind(first + 4, r.group)
        .bind(first + 5, r.quantityCounter)
        .bind(first + 6, r.valueCounter);
}

ArticleRecord articleAt(const Statement& s, int first) {
    ArticleRecord r{};
    const std::string code = s.text(first), name = s.text(first + 1);
    std::memcpy(r.code, code.data(), std::min(code.size(), sizeof r.code - 1));
    std::memcpy(r.name, name.data(), std::min(name.size(), sizeof r.name - 1));
    r.price = int32_t(s.integer(first + 2));
    r.flag = uint8_t(s.integer(first + 3));
    r.group = uint8_t(s.integer(first + 4));
    r.quantityCounter = int32_t(s.integer(first + 5));
    r.valueCounter = int32_t(s.integer(first + 6));
    return r;
}

const char kJobColumns[] =
    "id, device, kind, state, origin, idempotency_key, done, total, counts, exit_status, code, "
    "name, detail, created, started, finished, result IS NOT NULL, report, started_by, preview";
constexpr int kJobColumnCount = 20;

JobRecord jobAt(const Statement& s) {
    JobRecord j;
    j.id = s.integer(0);
    j.device = s.text(1);
    j.kind = s.text(2);
    j.state = s.text(3);
    j.origin = s.text(4);
    j.key = s.text(5);
    j.done = long(s.integer(6));
    j.total = long(s.integer(7));
    j.counts = s.text(8);
    j.ended = !s.isNull(9);
    j.exitStatus = int(s.integer(9));
    if (!s.isNull(10)) j.code = int(s.integer(10));
    j.name = s.text(11);
    j.detail = s.text(12);
    j.created = s.text(13);
    j.started = s.text(14);
    j.finished = s.text(15);
    j.hasResult = s.integer(16) != 0;
    j.report = s.integer(17);
    // Jobs from before their starter was kept: the service's own still say whose they were.
    j.by = !s.isNull(18)               ? s.text(18)
           : j.origin == "schedule"    ? "schedule"
           : j.origin == "head_office" ? "head-office"
                                       : "";
    j.preview = s.integer(19) != 0;
    return j;
}

std::vector<JobRecord> jobsAt(Statement& s) {
    std::vector<JobRecord> out;
    while (s.step()) out.push_back(jobAt(s));
    return out;
}

const char kReportColumns[] =
    "id, device, job, business_day, closed_at, articles, quantity, value, reset, file";

ReportRecord reportAt(const Statement& s) {
    ReportRecord r;
    r.id = s.integer(0);
    r.device = s.text(1);
    r.job = s.integer(2);
    r.businessDay = s.text(3);
    r.closedAt = s.text(4);
    r.articles = long(s.integer(5));
    r.quantity = s.integer(6);
    r.value = s.integer(7);
    r.reset = s.text(8);
    r.file = s.text(9);
    return r;
}

}  // namespace

Store::Store(const std::string& path)
    : db_(http::openDurable(path, 5000, "PRAGMA foreign_keys=ON", kMigrations,
                            int64_t(sizeof kMigrations / sizeof *kMigrations))) {
    path_ = path;
}

Store::~Store() {
    for (sqlite3* reader : readers_) sqlite3_close(reader);
    sqlite3_close(db_);
}

// Reads have connections of their own, as many as read at once: in WAL mode they go on while
// a write waits for the disk, and clients polling the log do not queue behind each other.
Store::Lease::Lease(Store& store) : store_(store) {
    {
        std::lock_guard<std::mutex> lock(store.readMutex_);
        if (!store.readers_.empty()) {
            db = store.readers_.back();
            store.readers_.pop_back();
            return;
        }
    }
    if (sqlite3_open_v2(store.path_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError("cannot open the database " + store.path_ + " to read: " + why);
    }
    sqlite3_busy_timeout(db, 5000);
}

Store::Lease::~Lease() {
    std::lock_guard<std::mutex> lock(store_.readMutex_);
    store_.readers_.push_back(db);
}

void Store::exec(const char* sql) {
    http::execute(db_, sql);
}

std::vector<JobRecord> Store::accept(const std::string& key, const std::string& request,
                                     const std::string& clientSince, std::vector<JobRecord> jobs,
                                     bool& existing) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    existing = false;
    if (!key.empty()) {
        Statement seen(db_, (std::string("SELECT ") + kJobColumns +
                             ", coalesce(request, '') FROM jobs WHERE idempotency_key = ?1 AND "
                             "(origin != 'api' OR created >= ?2) ORDER BY id")
                                .c_str());
        seen.bind(1, key).bind(2, clientSince);
        std::vector<JobRecord> before;
        std::string firstRequest;
        while (seen.step()) {
            if (before.empty()) firstRequest = seen.text(kJobColumnCount);
            before.push_back(jobAt(seen));
        }
        if (!before.empty()) {
            if (firstRequest != request)
                throw KeyReused("the Idempotency-Key came before with another request (job " +
                                std::to_string(before.front().id) + ")");
            existing = true;
            return before;
        }
    }
    Statement insert(
        db_,
        "INSERT INTO jobs(device, kind, state, origin, idempotency_key, total, "
        "created, request, started_by, preview) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (JobRecord& job : jobs) {
        job.key = key;
        insert.bind(1, job.device)
            .bind(2, job.kind)
            .bind(3, job.state)
            .bind(4, job.origin)
            .bindOrNull(5, key)
            .bind(6, job.total)
            .bind(7, job.created)
            .bindOrNull(8, request)
            .bind(9, job.by)
            .bind(10, job.preview ? 1 : 0);
        insert.run();
        insert.reset();
        job.id = sqlite3_last_insert_rowid(db_);
    }
    t.commit();
    return jobs;
}

void Store::started(int64_t id, const std::string& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_, "UPDATE jobs SET state = 'running', started = ? WHERE id = ?")
        .bind(1, at)
        .bind(2, id)
        .run();
}

bool Store::progress(int64_t id, long done, long total) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return false;
    // Progress is worth no flush to disk: the job's next state is written with one, and that
    // flushes this too. A job waits for every article's progress, so it costs wire time.
    exec("PRAGMA synchronous=NORMAL");
    try {
        Statement(db_, "UPDATE jobs SET done = ?, total = ? WHERE id = ?")
            .bind(1, done)
            .bind(2, total)
            .bind(3, id)
            .run();
    } catch (...) {
        exec("PRAGMA synchronous=FULL");
        throw;
    }
    exec("PRAGMA synchronous=FULL");
    return true;
}

void Store::finished(const JobRecord& job, const std::string* result) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "UPDATE jobs SET state = ?, done = ?, total = ?, counts = ?, exit_status = ?, "
                "code = ?, name = ?, detail = ?, started = ?, finished = ?, result = ?, "
                "report = ? WHERE id = ?");
    s.bind(1, job.state).bind(2, job.done).bind(3, job.total).bind(4, job.counts);
    s.bind(5, job.exitStatus);
    if (job.code) {
        s.bind(6, *job.code);
    } else {
        s.bindNull(6);
    }
    s.bind(7, job.name).bind(8, job.detail).bindOrNull(9, job.started).bind(10, job.finished);
    if (result) {
        s.bind(11, *result);
    } else {
        s.bindNull(11);
    }
    if (job.report) {
        s.bind(12, job.report);
    } else {
        s.bindNull(12);
    }
    s.bind(13, job.id).run();
}

std::optional<JobRecord> Store::job(int64_t id) {
    const Lease lease(*this);
    Statement s(lease.db,
                (std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?").c_str());
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return jobAt(s);
}

std::vector<JobRecord> Store::jobs(const JobFilter& f) {
    const Lease lease(*this);
    Statement s(lease.db,
                (std::string("SELECT ") + kJobColumns +
                 " FROM jobs WHERE (?1 IS NULL OR device = ?1) AND (?2 IS NULL OR state = ?2)"
                 " AND (?3 IS NULL OR created >= ?3) AND (?4 IS NULL OR created <= ?4)"
                 " AND (?6 IS NULL OR started_by = ?6) ORDER BY id DESC LIMIT ?5")
                    .c_str());
    s.bindOrNull(1, f.device).bindOrNull(2, f.state).bindOrNull(3, f.since).bindOrNull(4, f.until);
    s.bind(5, f.limit).bindOrNull(6, f.by);
    return jobsAt(s);
}

std::optional<std::string> Store::result(int64_t id) {
    const Lease lease(*this);
    Statement s(lease.db, "SELECT result FROM jobs WHERE id = ? AND result IS NOT NULL");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::optional<JobRecord> Store::lastJob(const std::string& device) {
    const Lease lease(*this);
    Statement s(lease.db, (std::string("SELECT ") + kJobColumns +
                           " FROM jobs WHERE device = ? AND preview = 0 ORDER BY id DESC LIMIT 1")
                              .c_str());
    s.bind(1, device);
    if (!s.step()) return std::nullopt;
    return jobAt(s);
}

std::vector<JobRecord> Store::failedJobs(const std::string& device) {
    const Lease lease(*this);
    Statement s(lease.db,
                (std::string("SELECT ") + kJobColumns +
                 " FROM jobs WHERE id IN (SELECT max(id) FROM jobs WHERE device = ?1 AND "
                 "preview = 0 AND state IN ('done', 'failed', 'interrupted') GROUP BY kind) "
                 "AND state != 'done' ORDER BY id DESC")
                    .c_str());
    s.bind(1, device);
    return jobsAt(s);
}

int Store::interruptUnfinished(const std::string& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_,
              "UPDATE jobs SET state = 'interrupted', finished = ?1, exit_status = 130, "
              "name = 'interrupted', detail = CASE state WHEN 'running' THEN "
              "'the service stopped while the job ran; check the device before running it again'"
              " ELSE 'the service stopped before the job started; nothing was sent' END "
              "WHERE state IN ('queued', 'running')")
        .bind(1, at)
        .run();
    const int changed = sqlite3_changes(db_);
    // A report saved before a reset whose answer the stop cut off: the counters may or may
    // not be zeroed.
    if (outbox_) {
        Statement pending(db_, "SELECT id FROM reports WHERE reset = 'pending'");
        Statement queue(db_, kQueueDay);
        while (pending.step()) {
            queue.bind(1, pending.integer(0)).run();
            queue.reset();
        }
    }
    Statement(db_, "UPDATE reports SET reset = 'unconfirmed' WHERE reset = 'pending'").run();
    t.commit();
    return changed;
}

int64_t Store::addReport(const ReportRecord& r, const std::vector<ArticleRecord>& rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement insert(db_,
                     "INSERT INTO reports(device, job, business_day, closed_at, articles, "
                     "quantity, value, reset, file) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, r.device).bind(2, r.job).bind(3, r.businessDay).bind(4, r.closedAt);
    insert.bind(5, r.articles).bind(6, r.quantity).bind(7, r.value).bind(8, r.reset);
    insert.bind(9, r.file).run();
    const int64_t id = sqlite3_last_insert_rowid(db_);
    Statement row(db_,
                  "INSERT INTO report_rows(report, code, name, price, flag, grp, quantity, value) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    for (const ArticleRecord& a : rows) {
        row.bind(1, id);
        bindArticle(row, 2, a);
        row.run();
        row.reset();
    }
    t.commit();
    return id;
}

void Store::setReset(int64_t report, const std::string& reset, const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_, "UPDATE reports SET reset = ?, file = ? WHERE id = ?")
        .bind(1, reset)
        .bind(2, file)
        .bind(3, report)
        .run();
    if (outbox_ && (reset == "confirmed" || reset == "unconfirmed"))
        Statement(db_, kQueueDay).bind(1, report).run();
    t.commit();
}

std::optional<AppliedPriceList> Store::appliedPriceList(const std::string& device) {
    const Lease lease(*this);
    Statement s(lease.db, "SELECT version, checksum, articles FROM price_lists WHERE device = ?");
    s.bind(1, device);
    if (!s.step()) return std::nullopt;
    return AppliedPriceList{s.integer(0), s.text(1), s.text(2)};
}

void Store::setAppliedPriceList(const std::string& device, const AppliedPriceList& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_,
              "INSERT OR REPLACE INTO price_lists(device, version, checksum, articles) "
              "VALUES (?, ?, ?, ?)")
        .bind(1, device)
        .bind(2, list.version)
        .bind(3, list.checksum)
        .bind(4, list.articles)
        .run();
}

std::vector<OutboxEntry> Store::outbox() {
    const Lease lease(*this);
    Statement s(lease.db,
                "SELECT device, business_day, version, coalesce(since, '') FROM outbox "
                "ORDER BY 2, 1");
    std::vector<OutboxEntry> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.integer(2), s.text(3)});
    return out;
}

bool Store::queueDayAgain(const std::string& device, const std::string& businessDay) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement newest(db_,
                     "SELECT max(id) FROM reports WHERE device = ? AND business_day = ? AND "
                     "reset IN ('confirmed', 'unconfirmed')");
    newest.bind(1, device).bind(2, businessDay);
    if (!newest.step() || newest.isNull(0)) return false;
    Statement(db_, kQueueDay).bind(1, newest.integer(0)).run();
    return true;
}

void Store::receipted(const std::string& device, const std::string& businessDay, int64_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_, "DELETE FROM outbox WHERE device = ? AND business_day = ? AND version <= ?")
        .bind(1, device)
        .bind(2, businessDay)
        .bind(3, version)
        .run();
}

std::vector<ReportRecord> Store::dayReports(const std::string& device, const std::string& day) {
    const Lease lease(*this);
    Statement s(lease.db, (std::string("SELECT ") + kReportColumns +
                           " FROM reports WHERE device = ? AND business_day = ? AND reset IN "
                           "('confirmed', 'unconfirmed') ORDER BY id")
                              .c_str());
    s.bind(1, device).bind(2, day);
    std::vector<ReportRecord> out;
    while (s.step()) out.push_back(reportAt(s));
    return out;
}

std::vector<ArticleRecord> Store::dayRows(const std::string& device, const std::string& day) {
    const Lease lease(*this);
    // Each article once, its counters summed over the day's reports, the rest as the last of
    // them has it (max() makes SQLite take the other columns from that row).
    Statement s(lease.db,
                "SELECT code, name, price, flag, grp, sum(report_rows.quantity), "
                "sum(report_rows.value), max(report_rows.rowid) FROM report_rows JOIN reports ON "
                "reports.id = report_rows.report WHERE device = ? AND business_day = ? AND reset "
                "IN ('confirmed', 'unconfirmed') GROUP BY CAST(code AS INTEGER) "
                "ORDER BY CAST(code AS INTEGER)");
    s.bind(1, device).bind(2, day);
    std::vector<ArticleRecord> out;
    while (s.step()) out.push_back(articleAt(s, 0));
    return out;
}

std::vector<ReportRecord> Store::reports(const std::string& device, const std::string& from,
                                         const std::string& to, int limit) {
    const Lease lease(*this);
    Statement s(lease.db,
                (std::string("SELECT ") + kReportColumns +
                 " FROM reports WHERE (?1 IS NULL OR device = ?1) AND "
                 "(?2 IS NULL OR business_day >= ?2) AND (?3 IS NULL OR business_day <= ?3)"
                 " ORDER BY id DESC LIMIT ?4")
                    .c_str());
    s.bindOrNull(1, device).bindOrNull(2, from).bindOrNull(3, to).bind(4, limit);
    std::vector<ReportRecord> out;
    while (s.step()) out.push_back(reportAt(s));
    return out;
}

std::optional<ReportRecord> Store::report(int64_t id) {
    const Lease lease(*this);
    Statement s(lease.db,
                (std::string("SELECT ") + kReportColumns + " FROM reports WHERE id = ?").c_str());
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return reportAt(s);
}

std::vector<ArticleRecord> Store::reportRows(int64_t id) {
    const Lease lease(*this);
    Statement s(lease.db,
                "SELECT code, name, price, flag, grp, quantity, value FROM report_rows "
                "WHERE report = ? ORDER BY rowid");
    s.bind(1, id);
    std::vector<ArticleRecord> out;
    while (s.step()) out.push_back(articleAt(s, 0));
    return out;
}

std::optional<ReportRecord> Store::lastReport(const std::string& device) {
    const Lease lease(*this);
    Statement s(lease.db, (std::string("SELECT ") + kReportColumns +
                           " FROM reports WHERE device = ? ORDER BY id DESC LIMIT 1")
                              .c_str());
    s.bind(1, device);
    if (!s.step()) return std::nullopt;
    return reportAt(s);
}

std::vector<SalesRow> Store::sales(const std::string& from, const std::string& to,
                                   const std::string& device, bool byArticle, int limit) {
    const Lease lease(*this);
    const std::string where =
        " FROM report_rows JOIN reports ON reports.id = report_rows.report WHERE "
        // A report whose reset was never sent holds sales the next one holds again.
        "reset IN ('confirmed', 'unconfirmed') AND (?1 IS NULL OR business_day >= ?1) AND (?2 IS "
        "NULL OR business_day <= ?2) AND "
        "(?3 IS NULL OR device = ?3)";
    const std::string sql =
        byArticle ? "SELECT CAST(CAST(code AS INTEGER) AS TEXT), max(name), "
                    "sum(report_rows.quantity), sum(report_rows.value)" +
                        where +
                        " GROUP BY CAST(code AS INTEGER) HAVING sum(report_rows.quantity) <> 0 OR "
                        "sum(report_rows.value) <> 0 ORDER BY 4 DESC, 1 LIMIT ?4"
                  : "SELECT business_day, '', sum(report_rows.quantity), sum(report_rows.value)" +
                        where + " GROUP BY business_day ORDER BY 1 LIMIT ?4";
    Statement s(lease.db, sql.c_str());
    s.bindOrNull(1, from).bindOrNull(2, to).bindOrNull(3, device).bind(4, limit);
    std::vector<SalesRow> out;
    while (s.step()) out.push_back({s.text(0), s.text(1), s.integer(2), s.integer(3)});
    return out;
}

void Store::saveTable(const std::string& device, const std::vector<ArticleRecord>& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_, "DELETE FROM known_articles WHERE device = ?").bind(1, device).run();
    Statement(db_, "INSERT OR REPLACE INTO known_tables(device, at) VALUES (?, datetime('now'))")
        .bind(1, device)
        .run();
    Statement row(db_,
                  "INSERT OR REPLACE INTO known_articles(device, code, name, price, flag, grp, "
                  "quantity, value) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    for (const ArticleRecord& a : table) {
        row.bind(1, device);
        bindArticle(row, 2, a);
        row.run();
        row.reset();
    }
    t.commit();
}

void Store::forgetTable(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_, "DELETE FROM known_articles WHERE device = ?").bind(1, device).run();
    Statement(db_, "DELETE FROM known_tables WHERE device = ?").bind(1, device).run();
    t.commit();
}

bool Store::table(const std::string& device, std::vector<ArticleRecord>& table) {
    const Lease lease(*this);
    Statement known(lease.db, "SELECT 1 FROM known_tables WHERE device = ?");
    known.bind(1, device);
    if (!known.step()) return false;
    Statement s(lease.db,
                "SELECT code, name, price, flag, grp, quantity, value FROM known_articles "
                "WHERE device = ? ORDER BY CAST(code AS INTEGER)");
    s.bind(1, device);
    table.clear();
    while (s.step()) table.push_back(articleAt(s, 0));
    return true;
}

std::optional<long> Store::tableSize(const std::string& device) {
    const Lease lease(*this);
    Statement s(lease.db,
                "SELECT (SELECT count(*) FROM known_articles WHERE device = ?1) FROM known_tables "
                "WHERE device = ?1");
    s.bind(1, device);
    if (!s.step()) return std::nullopt;
    return long(s.integer(0));
}

std::string Store::integrityCheck() {
    const Lease lease(*this);
    Statement s(lease.db, "PRAGMA integrity_check");
    std::string out;
    while (s.step()) out += (out.empty() ? "" : "; ") + s.text(0);
    return out;
}

}  // namespace velko::serve
