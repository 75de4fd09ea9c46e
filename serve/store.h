// Where the service keeps what must outlive it: the job log, the close-of-day reports with
// their rows, and each device's last known table. SQLite in WAL mode, written with full
// synchronisation: a report committed here survives a crash or a power cut. One connection
// writes, used by one caller at a time, and one per concurrent reader reads; every method may throw
// StoreError.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/sqlite.h"
#include "velko/velko.h"

namespace velko::serve {

using http::Statement;
using http::StoreError;
using http::Transaction;

// An Idempotency-Key given again with another request than the one it first came with.
struct KeyReused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct JobRecord {
    int64_t id = 0;
    std::string device, kind, state = "queued", origin = "api", key;
    long done = 0, total = -1;
    std::string counts;
    bool ended = false;  // exitStatus, code, name and detail are set
    int exitStatus = 0;
    std::optional<int> code;
    std::string name, detail;
    std::string created, started, finished;  // UTC, "2026-12-09T21:04:10Z"; empty: not yet
    bool hasResult = false;
    int64_t report = 0;    // 0: none
    std::string by;        // a token's name, "schedule" or "head-office"
    bool preview = false;  // a dry run: it changed nothing
};

// An article's price (and name, in the host's Windows-1250) on a device from `at` (UTC) on; no
// price: it was gone from the device.
struct PriceChange {
    std::string device, code, name, at;
    std::optional<int32_t> price;
    int group = 0;
    int64_t job = 0;
};

// A promotion: its articles' prices from `startsAt` to `endsAt` (UTC) on its devices, and
// what the service did about it on each.
struct PromotionRecord {
    struct Device {
        std::string name;
        int64_t startJob = 0, endJob = 0;  // 0: none yet
        std::string note;                  // what the end restored, left or could not
    };
    int64_t id = 0;
    std::string startsAt, endsAt, created;
    std::string state = "scheduled";      // started, ended, cancelled, skipped
    std::string by;                       // the token's name that asked for it
    std::string source;                   // "head-office:ID" for one of the chain's; else empty
    std::vector<ArticleRecord> articles;  // left out when only listed
    size_t articleCount = 0;
    std::vector<Device> devices;
};

// Which promotions: one by id or by its source, or those in some states, ending at or after a
// moment, the newest `limit` (0: all); without their articles when only listed.
struct PromotionFilter {
    int64_t id = 0;
    std::string source, endsSince;
    std::vector<std::string> states;
    int limit = 0;
    bool articles = true;
};

struct JobFilter {
    std::string device, state, since, until, by;
    int limit = 100;
};

struct ReportRecord {
    int64_t id = 0;
    std::string device;
    int64_t job = 0;
    std::string businessDay, closedAt;
    long articles = 0;
    int64_t quantity = 0, value = 0;  // thousandths, hundredths
    std::string reset = "pending";    // pending, confirmed, unconfirmed, not_sent
    std::string file;
};

// A device's business day whose reports head office has not acknowledged.
struct OutboxEntry {
    std::string device, businessDay;
    int64_t version = 0;
    std::string since;  // when the day first waited to be sent (UTC)
};

// A price list from head office as a device was verified to hold it: articles as JSON.
struct AppliedPriceList {
    int64_t version = 0;
    std::string checksum, articles;
};

struct SalesRow {
    std::string key;         // the day, or the article's code
    std::string deviceName;  // by article: the name in the device's characters
    int64_t quantity = 0, value = 0;
};

class Store {
  public:
    // Opens or makes the database, bringing its schema up to date.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Writes `jobs` as queued, with their ids, in one transaction. When `key` is not empty and
    // jobs were accepted under it before (by an API client: since `clientSince`), nothing is
    // written and those jobs come back, with `existing` set; KeyReused when they were accepted
    // for another `request`.
    std::vector<JobRecord> accept(const std::string& key, const std::string& request,
                                  const std::string& clientSince, std::vector<JobRecord> jobs,
                                  bool& existing);
    void started(int64_t id, const std::string& at);
    // Progress is a hint, and a job waits for it: it is not written while the log is busy
    // writing something else (false), and the job's end writes the last one anyway.
    bool progress(int64_t id, long done, long total);
    // Writes the end of a job: its state, counts, outcome, times, result and report.
    void finished(const JobRecord& job, const std::string* result);
    std::optional<JobRecord> job(int64_t id);
    std::vector<JobRecord> jobs(const JobFilter& filter);
    std::optional<std::string> result(int64_t id);
    // The device's last job that was not a preview.
    std::optional<JobRecord> lastJob(const std::string& device);
    // The device's jobs that failed or were interrupted and that no later job of their kind
    // has done, newest first.
    std::vector<JobRecord> failedJobs(const std::string& device);
    // At start: what a stop left running or queued is interrupted, never run again. The count.
    int interruptUnfinished(const std::string& at);

    // A report and its rows in one transaction; its id.
    int64_t addReport(const ReportRecord& report, const std::vector<ArticleRecord>& rows);
    void setReset(int64_t report, const std::string& reset, const std::string& file);
    std::vector<ReportRecord> reports(const std::string& device, const std::string& from,
                                      const std::string& to, int limit);
    std::optional<ReportRecord> report(int64_t id);
    std::vector<ArticleRecord> reportRows(int64_t id);
    std::optional<ReportRecord> lastReport(const std::string& device);
    // Totals of the reports of business days from..to (inclusive; empty: open), by day or by
    // article (best-selling by value first, `limit` of them).
    std::vector<SalesRow> sales(const std::string& from, const std::string& to,
                                const std::string& device, bool byArticle, int limit);

    // A device's last known table; forgetting it makes the next sync read the device.
    void saveTable(const std::string& device, const std::vector<ArticleRecord>& table);
    void forgetTable(const std::string& device);
    bool table(const std::string& device, std::vector<ArticleRecord>& table);
    std::optional<long> tableSize(const std::string& device);

    // Price history: a row for each change of an article's price or name on a device. A job
    // that left the device's whole table known records it as a `Table` (what it lacks is gone);
    // an upload the `Changed` articles; a deletion the `Deleted` codes.
    enum class PricesFrom { Table, Changed, Deleted };
    void recordPrices(const std::string& device, int64_t job, const std::string& at,
                      const std::vector<ArticleRecord>& articles, PricesFrom what);
    // The changes on `devices` (every device when empty) of `codes` (every article when
    // empty), by device and code, oldest first.
    std::vector<PriceChange> priceHistory(const std::vector<std::string>& devices,
                                          const std::vector<std::string>& codes);
    // Forgets the changes before `before` except the last of each article, the price then.
    void prunePrices(const std::string& before);

    // Promotions, newest first; the state, end and devices' jobs and notes of one are written
    // back whole. Those over before `before` are forgotten, with their devices' words.
    int64_t addPromotion(const PromotionRecord& promotion);
    std::vector<PromotionRecord> promotions(const PromotionFilter& filter = {});
    std::vector<PromotionRecord> promotions(int64_t id) {
        PromotionFilter one;
        one.id = id;
        return promotions(one);
    }
    void updatePromotion(const PromotionRecord& promotion);
    void prunePromotions(const std::string& before);

    // "ok", or what SQLite found wrong.
    std::string integrityCheck();

    // Head office: with the outbox on, a report whose counters are, or may be, zeroed puts its
    // device's business day into the outbox, in the transaction that says so.
    void useOutbox(bool on) { outbox_ = on; }
    std::vector<OutboxEntry> outbox();
    // Puts a device's business day into the outbox again (head office asks for it); false when
    // the device has no report of that day whose counters are, or may be, zeroed.
    bool queueDayAgain(const std::string& device, const std::string& businessDay);
    // Head office has stored the day at VERSION: its entry goes, unless a later report of that
    // day raised its version meanwhile.
    void receipted(const std::string& device, const std::string& businessDay, int64_t version);
    // The reports of a device's business day whose counters are, or may be, zeroed, and their
    // articles with the counters summed.
    std::vector<ReportRecord> dayReports(const std::string& device, const std::string& day);
    std::vector<ArticleRecord> dayRows(const std::string& device, const std::string& day);
    std::optional<AppliedPriceList> appliedPriceList(const std::string& device);
    void setAppliedPriceList(const std::string& device, const AppliedPriceList& list);

  private:
    void exec(const char* sql);

    // A read connection, taken from the idle ones or opened, and given back.
    struct Lease {
        explicit Lease(Store& store);
        ~Lease();
        Store& store_;
        sqlite3* db = nullptr;
    };

    std::string path_;
    std::atomic<bool> outbox_{false};
    std::mutex mutex_;  // the write connection
    sqlite3* db_ = nullptr;
    std::mutex readMutex_;  // the idle read connections
    std::vector<sqlite3*> readers_;
};

}  // namespace velko::serve
