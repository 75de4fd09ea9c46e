#include "serve/service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "device/article_rules.h"
#include "files/text_codec.h"
#include "http/host.h"
#include "http/untrusted_json.h"
#include "jobs/host.h"
#include "jobs/jobs.h"
#include "jobs/outcome.h"
#include "jobs/scan.h"
#include "link/platform.h"
#include "serve/views.h"

namespace velko::serve {
namespace {

const char* const kKinds[] = {"upload", "sync",          "verify",    "download",
                              "delete", "zero-counters", "close-day", "scan"};

jobs::Command commandOf(const std::string& kind) {
    if (kind == "upload") return jobs::Command::Upload;
    if (kind == "sync") return jobs::Command::Sync;
    if (kind == "verify") return jobs::Command::Verify;
    if (kind == "delete") return jobs::Command::Delete;
    if (kind == "zero-counters") return jobs::Command::ZeroCounters;
    if (kind == "close-day") return jobs::Command::CloseDay;
    return jobs::Command::Download;
}

bool changesDevice(const JobInput& input) {
    return input.kind != "download" && input.kind != "verify" && input.kind != "scan" &&
           !(input.kind == "sync" && input.dryRun);
}

// Progress of a running job into the log and to the listeners, a few times a second at most:
// an upload reports every article, and the log is on disk.
class JobProgress : public jobs::Progress {
  public:
    using Report = std::function<void(long done, long total)>;
    explicit JobProgress(Report report) : report_(std::move(report)) {}
    void update(size_t, long done, long total) override {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(250) && !(total >= 0 && done >= total)) return;
        last_ = now;
        report_(done, total);
    }
    void finish(size_t, const std::string&) override {}

  private:
    Report report_;
    std::chrono::steady_clock::time_point last_{};
};

std::string resultJson(const JobInput& input, const jobs::Outcome& out) {
    if (input.kind == "download" && out.tableKnown)
        return http::safeDump({{"articles", articlesJson(out.table)}});
    const bool compared = input.kind == "verify" || input.dryRun || input.verify;
    if (!compared || (out.code != jobs::OUTCOME_DONE && out.code != jobs::OUTCOME_MISMATCH))
        return "";
    // Each row names its article, as the list has it or else as the device does, so that a
    // person reads "BUŁKA 0,65 → 0,69" rather than a code.
    std::map<uint64_t, std::string> names;
    const auto codec = files::makeTextCodec();
    for (const auto* table : {&input.articles, &out.table}) {
        for (const ArticleRecord& r : *table) {
            const std::string code(r.code, strnlen(r.code, sizeof r.code));
            names.emplace(codeNumber(code),
                          codec->toUtf8(std::string(r.name, strnlen(r.name, sizeof r.name))));
        }
    }
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const auto& d : out.differences) {
        const auto name = names.find(codeNumber(d[0]));
        rows.push_back({{"code", d[0]},
                        {"name", name == names.end() ? nlohmann::ordered_json(nullptr)
                                                     : nlohmann::ordered_json(name->second)},
                        {"what", d[1]},
                        {"field", d[2]},
                        {"list", d[3]},
                        {"device", d[4]}});
    }
    return http::safeDump({{"differences", rows}});
}

// Which numbers answer on a device's line at its rate: what is there, after a device was
// changed or a line rewired. The result lists the finds.
jobs::Outcome scan(const std::string& path, const DeviceConfig& device,
                   const std::vector<DeviceConfig>& configured, const JobInput& input,
                   const std::atomic<bool>& stop, jobs::Progress& progress, std::string& result) {
    jobs::ScanRequest request;
    request.bauds = {device.baud};
    request.devices = input.numbers;
    request.all = true;
    const jobs::LineScan scan = jobs::scanLine(path, request, "", progress, 0, &stop);
    nlohmann::ordered_json found = nlohmann::ordered_json::array();
    std::string numbers;
    for (const jobs::ScanFind& f : scan.finds) {
        found.push_back({{"number", f.device}, {"session", f.session}});
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(f.device);
    }
    // The session text is the device's: what is not UTF-8 in it is replaced, not refused.
    const nlohmann::ordered_json doc = {
        {"line", path}, {"baud", device.baud}, {"addressed", scan.addressed}, {"found", found}};
    result = http::safeDump(doc);
    jobs::Outcome out;
    out.counts = std::to_string(scan.finds.size()) + " found";
    const std::string of = " of " + std::to_string(scan.planned) + " addresses";
    if (scan.interrupted) {
        out.code = jobs::OUTCOME_INTERRUPTED;
        out.message = "stopped after " + std::to_string(scan.addressed) + of;
    } else if (!scan.failure.empty()) {
        out.code = jobs::OUTCOME_RESULT_BASE + (scan.opened ? VELKO_ERR_SEND : VELKO_ERR_OPEN);
        out.message = (scan.opened ? "stopped after " + std::to_string(scan.addressed) + of + ": "
                                   : std::string()) +
                      scan.failure;
    } else if (scan.finds.empty()) {
        out.code = jobs::OUTCOME_NOT_FOUND;
        out.message = "no device answered any" + of;
    } else {
        out.message =
            std::string(scan.finds.size() == 1 ? "device " : "devices ") + numbers + " answered";
        // The devices configured on the line that were asked for and did not answer.
        for (const DeviceConfig& d : configured) {
            const bool asked = std::count(input.numbers.begin(), input.numbers.end(), d.number);
            const bool heard =
                std::any_of(scan.finds.begin(), scan.finds.end(),
                            [&](const jobs::ScanFind& f) { return f.device == d.number; });
            if (d.line == device.line && d.baud == device.baud && asked && !heard)
                out.message += "; not " + d.name + " (device " + std::to_string(d.number) + ")";
        }
    }
    if (scan.unclearCount > 0) out.message += "; " + scan.unclear;
    out.state = out.code == jobs::OUTCOME_DONE        ? "done"
                : out.code == jobs::OUTCOME_NOT_FOUND ? "not found"
                : out.code == jobs::OUTCOME_INTERRUPTED
                    ? "interrupted"
                    : jobs::resultName(out.code - jobs::OUTCOME_RESULT_BASE);
    return out;
}

// The tool's words made the service's: reports by their file name alone (the data directory is
// the service's business), a dry run without the tool's option.
std::string forPeople(std::string text, const std::string& reportDir) {
    const std::pair<std::string, std::string> swaps[] = {{reportDir, ""},
                                                         {"(--dry-run)", "(a dry run)"}};
    for (const auto& [from, to] : swaps) {
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    }
    return text;
}

}  // namespace

bool knownKind(const std::string& kind) {
    return std::find(std::begin(kKinds), std::end(kKinds), kind) != std::end(kKinds);
}

bool takesList(const std::string& kind) {
    return kind == "upload" || kind == "sync" || kind == "verify" || kind == "delete";
}

bool scanNumbers(const std::string& text, std::vector<int>& numbers, std::string& error) {
    return jobs::parseDeviceList(text.empty() ? "0-99" : text, numbers, error);
}

Service::Service(Config config) : config_(std::move(config)) {
    std::error_code error;
    std::filesystem::create_directories(config_.data + "/reports", error);
    if (error)
        throw StoreError("cannot make the data directory " + config_.data + ": " + error.message());
    // A second service on the same data would mark the first one's jobs interrupted.
    lock_ = std::make_unique<http::DirectoryLock>(config_.data);
    if (!lock_->held())
        throw StoreError("the data directory " + config_.data +
                         " is in use by another velko serve");
    const std::string file = config_.data + "/velko.db";
    // A damaged file would fail some requests for ever (a broken index, say) while the service
    // looked up: it does not start on one, and says how to recover what it holds.
    const auto damaged = [&](const std::string& what) {
        return StoreError("the database " + file + " is damaged (" + what.substr(0, 300) +
                          "). Stop the service, keep a copy of the file, then recover what it "
                          "holds: sqlite3 " +
                          file +
                          " .recover | sqlite3 recovered.db, and put "
                          "recovered.db in its place (or move the file aside to start afresh)");
    };
    std::string check;
    try {
        store_ = std::make_unique<Store>(file);
        check = store_->integrityCheck();
    } catch (const StoreError& e) {
        check = e.what();
        if (check.find("malformed") == std::string::npos &&
            check.find("not a database") == std::string::npos)
            throw;
    }
    if (check != "ok") throw damaged(check);
    store_->useOutbox(config_.headOffice.enabled);
    store_->interruptUnfinished(utcText(std::time(nullptr)));
    prunePrices();
    for (const DeviceConfig& d : config_.devices) {
        auto& line = lines_[d.line];
        if (!line) {
            line = std::make_unique<Line>();
            line->path = d.line;
        }
        lineOf_[d.name] = line.get();
    }
}

Service::~Service() {
    stop();
}

void Service::start(bool schedule) {
    // Before the workers, which tell it of the jobs that end.
    if (config_.headOffice.enabled)
        headOffice_ = std::make_unique<HeadOffice>(config_.headOffice, *this);
    for (auto& [path, line] : lines_) {
        Line* l = line.get();
        l->worker = std::thread([this, l] { work(*l); });
    }
    if (schedule) scheduler_ = std::thread([this] { scheduleLoop(); });
}

void Service::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& [path, line] : lines_) {
            line->stopRunning = true;
            line->wake.notify_all();
        }
    }
    scheduleWake_.notify_all();
    for (auto& [path, line] : lines_) {
        if (line->worker.joinable()) line->worker.join();
    }
    if (scheduler_.joinable()) scheduler_.join();
    headOffice_.reset();
    events_.close();
    try {
        store_->interruptUnfinished(utcText(std::time(nullptr)));
    } catch (const StoreError& e) {
        // The next start marks them.
        std::fprintf(http::errors(), "velko serve: %s\n", e.what());
    }
}

void Service::writeFailed(const std::string& cause, const JobRecord* job) {
    std::lock_guard<std::mutex> hold(degradedMutex_);
    degraded_ = "the job log could not be written: " + cause;
    if (!job) return;
    // Bounded: the oldest goes first (ids only rise).
    if (unrecorded_.size() >= 1000) unrecorded_.erase(unrecorded_.begin());
    unrecorded_[job->id] = *job;
}

std::string Service::degraded() {
    std::lock_guard<std::mutex> hold(degradedMutex_);
    return degraded_;
}

std::optional<JobRecord> Service::unrecorded(int64_t id) {
    std::lock_guard<std::mutex> hold(degradedMutex_);
    const auto found = unrecorded_.find(id);
    if (found == unrecorded_.end()) return std::nullopt;
    return found->second;
}

const DeviceConfig* Service::device(const std::string& name) const {
    for (const DeviceConfig& d : config_.devices) {
        if (d.name == name) return &d;
    }
    return nullptr;
}

std::string Service::deviceState(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = lineOf_.find(name);
    if (it == lineOf_.end()) return "unknown";
    if (it->second->runningDevice == name) return "busy";
    return it->second->unreachable ? "unreachable" : "idle";
}

std::vector<JobRecord> Service::submit(std::vector<const DeviceConfig*> devices,
                                       const JobInput& input, const std::string& key,
                                       const std::string& origin, bool& existing) {
    // A scan asks the whole line: once for the devices that share it.
    if (input.kind == "scan") {
        std::vector<const DeviceConfig*> first;
        for (const DeviceConfig* d : devices) {
            if (std::none_of(first.begin(), first.end(),
                             [&](const DeviceConfig* f) { return f->line == d->line; }))
                first.push_back(d);
        }
        devices = first;
    }
    std::vector<JobRecord> jobs;
    const std::string now = utcText(std::time(nullptr));
    for (const DeviceConfig* d : devices) {
        JobRecord job;
        job.device = d->name;
        job.kind = input.kind;
        job.origin = origin;
        job.by = input.by;
        job.preview = input.dryRun;
        job.created = now;
        if (takesList(input.kind)) job.total = long(input.articles.size());
        jobs.push_back(job);
    }
    // Accepted and queued under one lock, so that a cancel or a stop never finds a job that
    // is in the log but not in its line's queue.
    std::lock_guard<std::mutex> lock(mutex_);
    // A client's jobs wait in memory, their lists with them: only so many to a line. The
    // schedule's and head office's are the service's own, and never turned away.
    if (origin == "api") {
        std::map<const Line*, size_t> adding;
        for (const DeviceConfig* d : devices) {
            const Line* line = lineOf_.at(d->name);
            if (line->queue.size() + ++adding[line] > size_t(config_.maxQueued))
                throw QueueFull(std::to_string(line->queue.size()) + " jobs wait on " + line->path +
                                " already (max_queued " + std::to_string(config_.maxQueued) + ")");
        }
    }
    const std::string clientSince =
        utcText(std::time(nullptr) - std::time_t(config_.idempotencyDays) * 24 * 3600);
    jobs = store_->accept(key, input.request, clientSince, std::move(jobs), existing);
    if (existing) return jobs;
    const auto shared = std::make_shared<const JobInput>(input);
    for (size_t i = 0; i < jobs.size(); ++i) {
        Line& line = *lineOf_.at(devices[i]->name);
        line.queue.push_back({jobs[i], shared, devices[i]});
        line.wake.notify_all();
    }
    for (const JobRecord& job : jobs) events_.publish("job", http::safeDump(jobJson(job)));
    return jobs;
}

Service::Cancel Service::cancel(int64_t id) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto& [path, line] : lines_) {
        if (line->running == id) {
            line->stopRunning = true;
            return Cancel::Stopping;
        }
        auto& q = line->queue;
        const auto it =
            std::find_if(q.begin(), q.end(), [&](const Queued& e) { return e.job.id == id; });
        if (it == q.end()) continue;
        JobRecord job = it->job;
        job.state = "cancelled";
        job.ended = true;
        job.exitStatus = jobs::OUTCOME_INTERRUPTED;
        job.name = "cancelled";
        job.detail = "cancelled before it started; nothing was sent";
        job.finished = utcText(std::time(nullptr));
        store_->finished(job, nullptr);  // the log first: a job it still has as queued runs
        q.erase(it);
        lock.unlock();
        publishJob(id);
        if (headOffice_) headOffice_->jobEnded(job);
        return Cancel::Cancelled;
    }
    lock.unlock();
    return store_->job(id) ? Cancel::Ended : Cancel::Unknown;
}

// Telling the listeners is never worth failing a job for: a log that cannot be read now
// leaves them to ask again.
void Service::publishJob(int64_t id) {
    try {
        if (const auto job = store_->job(id)) events_.publish("job", http::safeDump(jobJson(*job)));
    } catch (const StoreError&) {
    }
}

void Service::publishDevice(const std::string& name) {
    try {
        if (const DeviceConfig* d = device(name))
            events_.publish("device", http::safeDump(deviceJson(*this, *d)));
    } catch (const StoreError&) {
    }
}

// Whether the line opens: a line that went away is back when it does.
bool Service::probe(Line& line) {
    std::string why;
    const auto platform = platformForLine(line.path);
    return platform->openPort(1, why) != nullptr;
}

void Service::work(Line& line) {
    const auto devicesOn = [&] {
        std::vector<std::string> names;
        for (const auto& [name, l] : lineOf_) {
            if (l == &line) names.push_back(name);
        }
        return names;
    };
    bool reachable = probe(line);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (line.unreachable != !reachable) {
            line.unreachable = !reachable;
            lock.unlock();
            for (const std::string& name : devicesOn()) publishDevice(name);
            lock.lock();
        }
        // An unreachable line is tried again at a calm pace until it is back.
        const auto ready = [&] { return stopping_ || !line.queue.empty(); };
        if (line.unreachable) {
            line.wake.wait_for(lock, std::chrono::seconds(5), ready);
        } else {
            line.wake.wait(lock, ready);
        }
        if (stopping_) return;
        if (line.queue.empty()) {
            lock.unlock();
            reachable = probe(line);
            lock.lock();
            continue;
        }
        Queued item = std::move(line.queue.front());
        line.queue.pop_front();
        line.running = item.job.id;
        line.runningDevice = item.device->name;
        line.stopRunning = false;
        lock.unlock();
        try {
            run(line, item);
        } catch (const std::exception& e) {
            // The log could not be written (a full disk, say): the job fails at once with the
            // cause, and the line goes on. Marked failed in the log if it takes that; else
            // known failed here (and interrupted in the log at the next start).
            std::fprintf(http::errors(), "velko serve: job %lld on %s: %s\n",
                         (long long)item.job.id, item.device->name.c_str(), e.what());
            item.job.state = "failed";
            item.job.ended = true;
            item.job.exitStatus = 1;
            item.job.name = "not recorded";
            item.job.detail = std::string("the job log could not be written: ") + e.what();
            item.job.finished = utcText(std::time(nullptr));
            try {
                store_->finished(item.job, nullptr);
                writeFailed(e.what(), nullptr);
            } catch (const std::exception&) {
                writeFailed(e.what(), &item.job);
            }
            events_.publish("job", http::safeDump(jobJson(item.job)));
        }
        lock.lock();
        line.running = 0;
        line.runningDevice.clear();
        lock.unlock();
        publishDevice(item.device->name);
        lock.lock();
        reachable = !line.unreachable;
    }
}

void Service::run(Line& line, Queued& item) {
    JobRecord& job = item.job;
    const JobInput& input = *item.input;
    const DeviceConfig& device = *item.device;
    job.state = "running";
    job.started = utcText(std::time(nullptr));
    store_->started(job.id, job.started);
    publishJob(job.id);
    publishDevice(device.name);

    jobs::JobRequest request;
    request.command = commandOf(input.kind);
    request.baud = device.baud;
    request.articles = input.articles;
    request.continueOnRefusal = input.continueOnRefusal;
    request.verify = input.verify;
    request.dryRun = input.dryRun;
    request.keepOthers = input.keepOthers;
    request.pricesOnly = input.pricesOnly;
    request.reportDir = config_.data + "/reports";
    request.tableInMemory = true;
    request.stop = &line.stopRunning;
    // A sync starts from the table the service last knew; without one it reads the device.
    if (input.kind == "sync") request.againstGiven = store_->table(device.name, request.held);
    // Whatever happens to a job that changes the device (a crash in the middle too), the table
    // known before is no longer the device's; the job's end saves the one it leaves known.
    if (changesDevice(input)) store_->forgetTable(device.name);

    std::string before = input.note;
    int64_t reportId = 0;
    if (input.kind == "close-day") {
        const auto last = store_->lastReport(device.name);
        if (last && last->reset == "unconfirmed") {
            before += "the close of day of " + last->businessDay + " (report " +
                      std::to_string(last->id) +
                      ") was not confirmed: its sales may be counted again; ";
        }
        request.recordReport = [&](const std::string& file,
                                   const std::vector<ArticleRecord>& rows) {
            ReportRecord r;
            r.device = device.name;
            r.job = job.id;
            const std::time_t now = std::time(nullptr);
            r.businessDay = businessDay(now);
            r.closedAt = utcText(now);
            r.articles = long(rows.size());
            for (const ArticleRecord& a : rows) {
                r.quantity += a.quantityCounter;
                r.value += a.valueCounter;
            }
            r.file = std::filesystem::path(file).filename().string();
            try {
                reportId = store_->addReport(r, rows);
            } catch (const StoreError& e) {
                // The counters stay as they are: the job ends without zeroing them.
                writeFailed(e.what(), nullptr);
                return std::string(e.what());
            }
            return std::string();
        };
    }
    jobs::LineSpec spec;
    spec.path = line.path;
    spec.device = device.number;
    spec.reportTag = device.name;
    // Progress is a hint: a log that refuses it (each refusal after a wait for the lock) is not
    // asked again during this job, which would otherwise wait at every article.
    bool progressWrites = true;
    JobProgress progress([&](long done, long total) {
        job.done = done;
        job.total = total;
        try {
            if (progressWrites) store_->progress(job.id, done, total);
        } catch (const StoreError& e) {
            progressWrites = false;
            writeFailed(e.what(), nullptr);
        }
        events_.publish("job", http::safeDump(jobJson(job)));
    });
    std::string scanResult;
    const jobs::Outcome out = input.kind == "scan" ? scan(line.path, device, config_.devices, input,
                                                          line.stopRunning, progress, scanResult)
                                                   : jobs::runJob(request, spec, progress, 0);

    job.ended = true;
    job.exitStatus = out.code;
    job.counts = out.counts;
    job.name = out.state;
    job.detail = forPeople(before + out.message, request.reportDir + "/");
    job.code.reset();
    if (const int32_t rc = jobs::resultCodeOf(out.code); rc >= 0) job.code = rc;
    job.state = jobs::jobState(out.code, stopping_);
    if (takesList(input.kind) && job.total >= 0 && out.code == jobs::OUTCOME_DONE)
        job.done = job.total;
    job.finished = utcText(std::time(nullptr));
    job.report = reportId;
    if (reportId) {
        const char* reset = out.code == jobs::OUTCOME_DONE                ? "confirmed"
                            : out.code == jobs::OUTCOME_RESET_UNCONFIRMED ? "unconfirmed"
                                                                          : "not_sent";
        store_->setReset(reportId, reset, std::filesystem::path(out.report).filename().string());
        if (headOffice_) headOffice_->send();
    }
    // What the service knows of the device's table: what the job read or left, or nothing
    // once a job that changes the device ended without knowing.
    if (out.tableKnown) {
        store_->saveTable(device.name, out.table);
    } else if (changesDevice(input)) {
        store_->forgetTable(device.name);
    }
    recordPrices(job, input, out);
    const std::string result = input.kind == "scan" ? scanResult : resultJson(input, out);
    store_->finished(job, result.empty() ? nullptr : &result);
    {
        // The log takes writes again: the jobs it could not take are written failed.
        std::lock_guard<std::mutex> hold(degradedMutex_);
        degraded_.clear();
        for (auto it = unrecorded_.begin(); it != unrecorded_.end(); it = unrecorded_.erase(it))
            store_->finished(it->second, nullptr);
    }
    // A line that would not open, or a device that stopped answering on it, shows as
    // unreachable at once; the line's worker tries it again until it is back.
    if (out.code == jobs::OUTCOME_RESULT_BASE + VELKO_ERR_OPEN ||
        out.code == jobs::OUTCOME_RESULT_BASE + VELKO_ERR_SEND ||
        out.code == jobs::OUTCOME_RESULT_BASE + VELKO_ERR_READ) {
        std::lock_guard<std::mutex> lock(mutex_);
        line.unreachable = true;
    }
    publishJob(job.id);
    if (headOffice_) headOffice_->jobEnded(job);
}

// Every price a job leaves known goes into the history: a table read or left whole, the
// articles an upload stored, the codes a deletion removed. A preview changed nothing.
void Service::recordPrices(const JobRecord& job, const JobInput& input, const jobs::Outcome& out) {
    if (input.dryRun || input.kind == "verify") return;
    if (out.tableKnown) {
        store_->recordPrices(job.device, job.id, job.finished, out.table, Store::PricesFrom::Table);
    } else if (out.code == jobs::OUTCOME_DONE && input.kind == "upload") {
        store_->recordPrices(job.device, job.id, job.finished, input.articles,
                             Store::PricesFrom::Changed);
    } else if (out.code == jobs::OUTCOME_DONE && input.kind == "delete") {
        store_->recordPrices(job.device, job.id, job.finished, input.articles,
                             Store::PricesFrom::Deleted);
    } else {
        return;
    }
    if (input.kind == "close-day") prunePrices();  // once a day is often enough
}

void Service::prunePrices() {
    const std::time_t now = std::time(nullptr);
    store_->prunePrices(utcText(now - std::time_t(config_.priceHistoryDays) * 86400));
    store_->prunePromotions(utcText(now - std::time_t(config_.promotionsDays) * 86400));
}

std::string Service::businessDay(std::time_t when) const {
    std::tm local = jobs::localTime(when);
    if (local.tm_hour * 60 + local.tm_min < config_.dayStartsMinute) {
        local.tm_mday -= 1;
        local.tm_isdst = -1;
        const std::time_t before = std::mktime(&local);
        local = jobs::localTime(before);
    }
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

void Service::tickSchedule(std::time_t now) {
    const std::tm local = jobs::localTime(now);
    const int minute = local.tm_hour * 60 + local.tm_min;
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    for (const CloseDayConfig& entry : config_.closeDays) {
        if (minute < entry.minuteOfDay || minute >= entry.minuteOfDay + 120) continue;
        char at[32];
        std::snprintf(at, sizeof at, "%02d:%02d", entry.minuteOfDay / 60, entry.minuteOfDay % 60);
        std::string key = std::string("schedule:") + date + "T" + at;
        for (const std::string& t : entry.targets) key += ":" + t;
        JobInput input;
        input.kind = "close-day";
        input.by = "schedule";
        bool existing = false;
        try {
            submit(devicesNamed(config_, entry.targets), input, key, "schedule", existing);
        } catch (const StoreError& e) {
            std::fprintf(http::errors(), "velko serve: the close of day at %s was not queued: %s\n",
                         at, e.what());
        }
    }
}

// The close of day is looked at every 20 s; a promotion's start or end is met on time.
void Service::scheduleLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const std::time_t now = std::time(nullptr);
        tickSchedule(now);
        std::optional<std::time_t> next;
        try {
            next = promotions_.tick(now);
        } catch (const std::exception& e) {
            std::fprintf(http::errors(), "velko serve: promotions: %s\n", e.what());
        }
        lock.lock();
        auto wake = std::chrono::system_clock::now() + std::chrono::seconds(20);
        if (next) wake = std::min(wake, std::chrono::system_clock::from_time_t(*next));
        scheduleWake_.wait_until(lock, wake, [&] { return stopping_.load() || scheduleNow_; });
        scheduleNow_ = false;
    }
}

void Service::promotionChanged(const std::string& source) {
    if (headOffice_ && !source.empty()) headOffice_->promotionChanged(source);
}

void Service::scheduleSoon() {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleNow_ = true;
    scheduleWake_.notify_all();
}

}  // namespace velko::serve
