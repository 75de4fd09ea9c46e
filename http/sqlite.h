// SQLite as the service and head office use it: a prepared statement and a transaction that
// clean up however the caller leaves, and fail with StoreError.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velko::http {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One prepared statement; finalised however the caller leaves.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail();
    }
    ~Statement() { sqlite3_finalize(stmt_); }

    Statement& bind(int i, int64_t v) {
        check(sqlite3_bind_int64(stmt_, i, v));
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        check(sqlite3_bind_text(stmt_, i, v.data(), int(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bindOrNull(int i, const std::string& v) {
        return v.empty() ? bindNull(i) : bind(i, v);
    }
    Statement& bindNull(int i) {
        check(sqlite3_bind_null(stmt_, i));
        return *this;
    }
    Statement& bindBlob(int i, const char* data, size_t size) {
        check(sqlite3_bind_blob(stmt_, i, data, int(size), SQLITE_TRANSIENT));
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail();
        return false;
    }
    void run() {
        while (step()) {
        }
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int columns() const { return sqlite3_column_count(stmt_); }
    int64_t integer(int c) const { return sqlite3_column_int64(stmt_, c); }
    bool isNull(int c) const { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
    std::string text(int c) const {
        const auto* p = sqlite3_column_text(stmt_, c);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               size_t(sqlite3_column_bytes(stmt_, c)))
                 : std::string();
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK) fail();
    }
    [[noreturn]] void fail() { throw StoreError(std::string("database: ") + sqlite3_errmsg(db_)); }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A transaction that is rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) { run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        run("COMMIT");
        done_ = true;
    }

  private:
    void run(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    bool done_ = false;
};

// Runs `sql` (statements without results); StoreError on failure.
inline void execute(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw StoreError("database: " + why);
    }
}

// Brings a database's schema up to date: each of `steps` brings it from the version before it
// to its own, and a database is at the version of the steps it has taken (PRAGMA
// user_version). A database of a newer schema than `count` steps is refused.
inline void migrate(sqlite3* db, const char* const* steps, int64_t count) {
    Statement version(db, "PRAGMA user_version");
    version.step();
    const int64_t at = version.integer(0);
    if (at > count)
        throw StoreError("the database is of a newer version of velko (schema " +
                         std::to_string(at) + "); this one knows up to " + std::to_string(count));
    for (int64_t step = at; step < count; ++step) {
        Transaction t(db);
        execute(db, steps[step]);
        execute(db, ("PRAGMA user_version=" + std::to_string(step + 1)).c_str());
        t.commit();
    }
}

// Opens the database at `path` (creating it) for durable writes (WAL, full sync), a writer
// waiting up to `busyMs` for another, runs `settings` (more PRAGMAs, or null) and brings the
// schema up to date with `steps`; StoreError when any of it fails.
inline sqlite3* openDurable(const std::string& path, int busyMs, const char* settings,
                            const char* const* steps, int64_t count) {
    // SQLite counts its memory under one global lock by default: every reader of every
    // connection would queue on it. Only possible before SQLite's first use, so first here.
    static const int uncounted = (sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0), 0);
    (void)uncounted;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError("cannot open the database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db, busyMs);
    try {
        execute(db, "PRAGMA journal_mode=WAL");
        execute(db, "PRAGMA synchronous=FULL");
        if (settings) execute(db, settings);
        migrate(db, steps, count);
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    return db;
}

}  // namespace velko::http
