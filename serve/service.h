// The service's heart: the configured devices, a queue and a worker per line (jobs on one line
// run one at a time in the order they came, lines side by side), the job log, the close of
// day on a schedule, and the events clients listen to. HTTP handlers call it; it never sees
// HTTP.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/host.h"
#include "jobs/jobs.h"
#include "serve/config.h"
#include "serve/events.h"
#include "serve/head_office.h"
#include "serve/promotions.h"
#include "serve/store.h"

namespace velko::serve {

// What a job is to do beyond its kind.
struct JobInput {
    std::string kind;  // upload, sync, verify, download, delete, zero-counters, close-day, scan
    std::vector<ArticleRecord> articles;  // the list, or the codes to delete
    std::vector<int> numbers;             // a scan's device numbers, in the order asked
    bool verify = false, dryRun = false, keepOthers = false, continueOnRefusal = false;
    // What the request was (who, where, with what), for its Idempotency-Key: the same key with
    // another request is refused rather than taken for the first. Empty: not checked.
    std::string request;
    std::string by;           // who asked: a token's name, "schedule" or "head-office"
    bool pricesOnly = false;  // sync: each article keeps its flag and group on the device
    std::string note;         // said before the job's outcome (what a promotion restores)
};

// A job that would queue more on a line than the configuration lets clients queue there.
struct QueueFull : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The kinds of job, as the API names them.
bool knownKind(const std::string& kind);
// Whether a kind of job takes a price list, or codes to delete, in its request.
bool takesList(const std::string& kind);

// A scan's numbers as "0-99" or "1,5,7" (every number when empty); false, with the reason in
// `error`, for anything else.
bool scanNumbers(const std::string& text, std::vector<int>& numbers, std::string& error);

using http::utcText;

class Service {
  public:
    // Opens the store in the configuration's data directory; what a stop left running is
    // marked interrupted. Throws StoreError when the store cannot be opened.
    explicit Service(Config config);
    ~Service();

    // Starts the line workers and, unless `schedule` is false (tests drive it with
    // tickSchedule), the close-of-day clock.
    void start(bool schedule = true);
    // Running jobs end their session after the article on the line; queued ones are marked
    // interrupted; the workers are joined.
    void stop();

    const Config& config() const { return config_; }
    Store& store() { return *store_; }
    HeadOffice* headOffice() { return headOffice_.get(); }
    EventHub& events() { return events_; }
    Promotions& promotions() { return promotions_; }
    // Wakes the schedule to look again now (a promotion was added or ended).
    void scheduleSoon();
    // A promotion from head office (`source`) started, ended or was skipped: head office hears.
    void promotionChanged(const std::string& source);

    // One queued job per device (a scan: per line, as its first device), written to the log
    // before this returns; or, when `key` was seen before, the jobs made then, with `existing`
    // set and nothing run.
    std::vector<JobRecord> submit(std::vector<const DeviceConfig*> devices, const JobInput& input,
                                  const std::string& key, const std::string& origin,
                                  bool& existing);

    enum class Cancel { Cancelled, Stopping, Ended, Unknown };
    // Cancels a queued job, or asks a running one to end after the article on the line.
    Cancel cancel(int64_t id);

    // idle, busy or unreachable.
    std::string deviceState(const std::string& device);

    // Why the job log cannot be written ("" while it can): the service is degraded, and a job
    // whose end could not be written is known here, failed, until the log takes writes again.
    std::string degraded();
    std::optional<JobRecord> unrecorded(int64_t id);
    const DeviceConfig* device(const std::string& name) const;

    // Queues the close of day of every schedule entry whose time has come at `now` (local
    // time), once per entry and day: the day's idempotency key makes a second tick, or a
    // restart, queue nothing. An entry is late by two hours at most, so a service started in
    // the morning does not close the day it missed at night.
    void tickSchedule(std::time_t now);

    // The business day of a close of day at `when`: the local date, or the day before when
    // the day has not started yet by `day_starts`.
    std::string businessDay(std::time_t when) const;

  private:
    struct Queued {
        JobRecord job;
        std::shared_ptr<const JobInput> input;
        const DeviceConfig* device;
    };
    struct Line {
        std::string path;
        std::deque<Queued> queue;
        std::condition_variable wake;
        std::thread worker;
        bool unreachable = false;
        int64_t running = 0;  // the job on the line, 0 when none
        std::string runningDevice;
        std::atomic<bool> stopRunning{false};
    };

    void work(Line& line);
    void run(Line& line, Queued& item);
    // The log refused a write for `cause`: the service is degraded; `job`, when given, is known
    // failed here until the log takes it.
    void writeFailed(const std::string& cause, const JobRecord* job);
    void recordPrices(const JobRecord& job, const JobInput& input, const jobs::Outcome& out);
    void prunePrices();
    bool probe(Line& line);
    void publishJob(int64_t id);
    void publishDevice(const std::string& name);
    void scheduleLoop();

    Config config_;
    std::unique_ptr<http::DirectoryLock> lock_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<HeadOffice> headOffice_;
    EventHub events_;
    std::mutex mutex_;  // the lines' queues and states
    std::mutex degradedMutex_;
    std::string degraded_;
    std::map<int64_t, JobRecord> unrecorded_;
    std::map<std::string, std::unique_ptr<Line>> lines_;  // by path
    std::map<std::string, Line*> lineOf_;                 // by device name
    std::atomic<bool> stopping_{false};
    std::thread scheduler_;
    std::condition_variable scheduleWake_;
    bool scheduleNow_ = false;  // under mutex_
    Promotions promotions_{*this};
};

}  // namespace velko::serve
