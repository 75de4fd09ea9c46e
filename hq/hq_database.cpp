#include "hq/hq_database.h"

#include <libpq-fe.h>

#include <mutex>

namespace velko::hq {
namespace {

using http::Statement;

class Sqlite : public HqDatabase {
  public:
    Sqlite(const std::string& path, const Migrations& steps) {
        std::vector<const char*> texts;
        for (const std::string& step : steps) texts.push_back(step.c_str());
        db_ = http::openDurable(path, 10000, nullptr, texts.data(), int64_t(texts.size()));
    }
    ~Sqlite() override { sqlite3_close(db_); }

    Result run(const std::string& sql, const std::vector<Value>& parameters) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Statement s(db_, sql.c_str());
        for (size_t i = 0; i < parameters.size(); ++i)
            std::visit([&](const auto& v) { s.bind(int(i + 1), v); }, parameters[i]);
        Result result;
        while (s.step()) {
            auto& row = result.rows.emplace_back();
            for (int c = 0; c < s.columns(); ++c) row.push_back(s.text(c));
        }
        result.changed = sqlite3_changes(db_);
        return result;
    }

  private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// "?3" as PostgreSQL writes it: "$3".
std::string postgresParameters(std::string sql) {
    for (char& c : sql) {
        if (c == '?') c = '$';
    }
    return sql;
}

class Postgres : public HqDatabase {
  public:
    Postgres(const std::string& url, const Migrations& steps) : url_(url) {
        std::lock_guard<std::mutex> lock(mutex_);
        connect();
        try {
            // One head office at a time brings the schema up; the others wait for the lock.
            exec("BEGIN", {});
            exec("SELECT pg_advisory_xact_lock(7309261)", {});
            exec("CREATE TABLE IF NOT EXISTS velko_schema(version BIGINT NOT NULL)", {});
            const auto rows = exec("SELECT version FROM velko_schema", {}).rows;
            const int64_t at = rows.empty() ? 0 : std::stoll(rows[0][0]);
            if (at > int64_t(steps.size()))
                throw StoreError("the database is of a newer version of velko (schema " +
                                 std::to_string(at) + "); this one knows up to " +
                                 std::to_string(steps.size()));
            for (size_t step = size_t(at); step < steps.size(); ++step) exec(steps[step], {});
            if (rows.empty()) exec("INSERT INTO velko_schema VALUES (0)", {});
            exec("UPDATE velko_schema SET version = " + std::to_string(steps.size()), {});
            exec("COMMIT", {});
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }
    ~Postgres() override { PQfinish(conn_); }

    Result run(const std::string& sql, const std::vector<Value>& parameters) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // A server restarted, or a connection dropped on the way: made again once.
        if (PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
        return exec(postgresParameters(sql), parameters);
    }

  private:
    void connect() {
        // The URL's own settings win over these: a server that does not answer, or a link
        // that died half-open, fails a statement within a minute instead of hanging it.
        const char* keys[] = {
            "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
            "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
        const char* values[] = {"10", "1", "30", "10", "3", "60000", url_.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = PQerrorMessage(conn_);
            PQfinish(conn_);
            throw StoreError("cannot connect to PostgreSQL: " + trimmed(why));
        }
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
    }
    static std::string trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }
    Result exec(const std::string& sql, const std::vector<Value>& parameters) {
        std::vector<std::string> texts;
        for (const Value& v : parameters) {
            texts.push_back(std::holds_alternative<int64_t>(v)
                                ? std::to_string(std::get<int64_t>(v))
                                : std::get<std::string>(v));
        }
        std::vector<const char*> values;
        for (const std::string& t : texts) values.push_back(t.c_str());
        // Without parameters, a text of several statements (a schema step) runs whole.
        PGresult* r = values.empty() ? PQexec(conn_, sql.c_str())
                                     : PQexecParams(conn_, sql.c_str(), int(values.size()), nullptr,
                                                    values.data(), nullptr, nullptr, 0);
        const auto status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            const std::string why = trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
            PQclear(r);
            throw StoreError("database: " + why);
        }
        Result result;
        for (int row = 0; row < PQntuples(r); ++row) {
            auto& out = result.rows.emplace_back();
            for (int c = 0; c < PQnfields(r); ++c) out.emplace_back(PQgetvalue(r, row, c));
        }
        const char* changed = PQcmdTuples(r);
        result.changed = *changed ? std::stoll(changed) : 0;
        PQclear(r);
        return result;
    }

    std::string url_;
    std::mutex mutex_;
    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<HqDatabase> openSqlite(const std::string& path, const Migrations& steps) {
    return std::make_unique<Sqlite>(path, steps);
}

std::unique_ptr<HqDatabase> openPostgres(const std::string& url, const Migrations& steps) {
    return std::make_unique<Postgres>(url, steps);
}

}  // namespace velko::hq
