#include "jobs/jobs.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "device/floor.h"
#include "files/article_file.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "jobs/host.h"
#include "jobs/outcome.h"
#include "jobs/sync.h"
#include "link/platform.h"
#include "link/velko_comm.h"

namespace velko::jobs {

using namespace velko::files;  // a job is made of the files' parts
namespace {

// The state of the job running on this thread. The library hands callbacks a 32-bit value,
// too small for a pointer; callbacks run on the job's own thread, so a thread-local finds it.
struct JobState {
    const std::vector<ArticleRecord>* supply = nullptr;
    std::vector<ArticleRecord> received;
    std::vector<std::string> refusedCodes;
    Progress* progress = nullptr;
    size_t row = 0;
    bool interrupted = false;  // a stop ended the list or the download early
    const std::atomic<bool>* stop = nullptr;
    // A deletion that goes on after refusals counts them here; each rise names the code
    // asked for before.
    int32_t deleteRefused = 0, deleteRefusedSeen = 0;
};
thread_local JobState* current = nullptr;

bool stopAsked(const std::atomic<bool>* stop) {
    return stop && stop->load();
}

std::string codeText(const ArticleRecord& record) {
    return std::string(record.code, strnlen(record.code, sizeof record.code));
}

// A deletion's refusal since the last ask names the code asked for before this one.
void noteRefusedDeletion(JobState& job, int32_t index) {
    if (job.deleteRefused == job.deleteRefusedSeen || index < 1) return;
    job.deleteRefusedSeen = job.deleteRefused;
    job.refusedCodes.push_back(codeText((*job.supply)[size_t(index - 1)]));
}

int32_t VELKO_CALL supplyNext(const char*, int32_t index, ArticleRecord* record, uint32_t) {
    JobState& job = *current;
    const long total = long(job.supply->size());
    job.progress->update(job.row, index, total);
    noteRefusedDeletion(job, index);
    if (index < 0 || index >= total) return 0;
    // Ctrl-C: the article on the line was answered; the list ends here, with the end bytes.
    if (stopAsked(job.stop)) {
        job.interrupted = true;
        return 0;
    }
    *record = (*job.supply)[size_t(index)];
    return 1;
}

// Progress comes from supplyNext: the index it is asked for is the count answered so far.
int32_t VELKO_CALL uploaded(const char*, int32_t, const ArticleRecord* record, uint32_t,
                            int32_t outcome, int32_t, int32_t) {
    if (outcome != 1) current->refusedCodes.push_back(codeText(*record));
    return 1;
}

int32_t VELKO_CALL receive(const char*, int32_t, ArticleRecord* record, uint32_t) {
    JobState& job = *current;
    if (stopAsked(job.stop)) {
        job.interrupted = true;
        return 0;
    }
    job.received.push_back(*record);
    job.progress->update(job.row, long(job.received.size()), -1);
    return 1;
}

// "device-01_2026-12-08_21-04-10.csv", with the line's tag after the number when given.
std::string reportName(int device, const std::string& tag) {
    const std::tm local = localTime(std::time(nullptr));
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    char number[16];
    std::snprintf(number, sizeof number, "%02d", device);
    return std::string("device-") + number + (tag.empty() ? "" : "_" + tag) + "_" + stamp + ".csv";
}

// A report saved before a reset whose answer never came: its name says so, so that nobody adds
// the same sales again from the next report.
std::string markUnconfirmed(const std::string& report) {
    const std::string marked = withSuffix(report, "_reset-unconfirmed");
    std::error_code ignored;
    std::filesystem::rename(systemName(report), systemName(marked), ignored);
    return ignored ? report : marked;
}

// A failed job's outcome: the result code in words, or, when the line `path` would not open,
// why. `around` is a message with %s where that goes, for what the failure left undone.
Outcome failed(int32_t rc, const VELKOComm& link, const std::string& path,
               const char* around = "%s") {
    const std::string line =
        rc == VELKO_ERR_OPEN && !link.openFailure().empty()
            // TRANSLATORS: {line} is the line's path or address, {why} the reason it would not
            // open, in English, which already names the line. Say first what staff can check.
            ? renderTemplate(_("VELKO_ERR_OPEN: {why}"),
                             {{"line", path}, {"why", link.openFailure()}})
            : resultLine(rc);
    return {OUTCOME_RESULT_BASE + rc, resultName(rc), "", formatted(around, line.c_str())};
}

Outcome stopped(const std::string& counts, const std::string& message) {
    return {OUTCOME_INTERRUPTED, _("interrupted"), counts,
            formatted(_("interrupted: %s"), message.c_str())};
}

class Job {
  public:
    Job(const JobRequest& request, const LineSpec& line, Progress& progress, size_t row)
        : request_(request),
          line_(line),
          platform_(platformForLine(line.path)),
          link_(*platform_),
          trace_(request.trace.c_str(), TraceLog::UTF8_NAME),
          list_(request.articles) {
        if (!request.trace.empty()) link_.setTraceSink(&trace_);
        state_.progress = &progress;
        state_.row = row;
        state_.supply = &request.articles;
        state_.stop = request.stop;
        current = &state_;
    }
    ~Job() { current = nullptr; }

    Outcome run() {
        switch (request_.command) {
            case Command::Upload:
                return uploadList();
            case Command::Download:
                return download();
            case Command::Delete:
                return remove(request_.articles);
            case Command::ZeroCounters:
                return zero("");
            case Command::CloseDay:
                return closeDay();
            case Command::Sync:
                return sync();
            case Command::Verify:
                return verify(false);
        }
        return {};
    }

  private:
    // Every line is port 1 of its own platform, mapped to the line's path.
    static constexpr int32_t kPort = 1;

    uint8_t device() const { return uint8_t(line_.device); }

    Outcome upload(const std::vector<ArticleRecord>& articles) {
        state_.supply = &articles;
        state_.refusedCodes.clear();
        int32_t accepted = 0, refused = 0;
        const int32_t rc = link_.sendArticles(kPort, request_.baud, request_.continueOnRefusal, 0,
                                              request_.skipSecondPreparation, device(), session_,
                                              supplyNext, uploaded, 0, accepted, refused);
        link_.close();
        Outcome out;
        out.counts = formatted(_("%d accepted, %d refused"), accepted, refused);
        if (state_.interrupted && rc == VELKO_OK) {
            return stopped(out.counts, formatted(_("%d of %zu sent; the rest not"),
                                                 accepted + refused, articles.size()));
        }
        // Without --continue-on-refusal the library ends the upload at the first refusal with
        // VELKO_ERR_READ; that is the refusal, not a line fault.
        if (rc != VELKO_OK &&
            !(rc == VELKO_ERR_READ && refused > 0 && !request_.continueOnRefusal)) {
            Outcome f = failed(rc, link_, line_.path);
            f.counts = out.counts;
            return f;
        }
        if (refused > 0) {
            std::string codes;
            for (const auto& code : state_.refusedCodes)
                codes += (codes.empty() ? "" : ", ") + code;
            out.code = OUTCOME_REFUSED;
            out.state = _("refused");
            out.message = formatted(
                request_.continueOnRefusal
                    ? _("the device refused %d article(s): %s; check the codes, prices and "
                        "groups")
                    : _("the device refused %d article(s): %s; the upload stopped there; check "
                        "the codes, prices and groups"),
                refused, codes.c_str());
            return out;
        }
        out.state = _("done");
        out.message =
            formatted(ngettext("%d article uploaded", "%d articles uploaded", accepted), accepted);
        return out;
    }

    Outcome uploadList() {
        Outcome out = upload(request_.articles);
        return out.code == OUTCOME_DONE && request_.verify ? verifyAfter(out.message) : out;
    }

    // Reads the whole table; VELKO_OK with the articles in state_.received.
    int32_t readTable() {
        state_.received.clear();
        int32_t received = 0;
        const int32_t rc =
            link_.receiveArticles(kPort, request_.baud, device(), session_, receive, 0, received);
        link_.close();
        return rc;
    }

    // The floor of the download just done: every listing line as the device sent it.
    double floorOfDownloadSeconds() const {
        const auto codec = makeTextCodec();
        std::vector<size_t> listing;
        for (const ArticleRecord& r : state_.received) {
            const auto cells = articleCells(r, *codec);
            size_t line = 2 + strnlen(r.name, sizeof r.name);  // "0;" and the device's name
            for (int c = 0; c < ColumnCount; ++c)
                line += (c == Name ? 0 : cells[size_t(c)].size()) + 1;
            listing.push_back(line);
        }
        return Floor(request_.baud).downloadMs(listing) / 1000;
    }

    std::string tookAgainstFloor() const {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        return formatted(_(" in %.1f s (at best %.1f s at %u baud)"), seconds,
                         floorOfDownloadSeconds(), request_.baud);
    }

    Outcome download() {
        const int32_t rc = readTable();
        const std::string counts = formatted(_("%zu received"), state_.received.size());
        if (state_.interrupted) return stopped(counts, _("nothing was written"));
        if (rc != VELKO_OK) {
            Outcome f = failed(rc, link_, line_.path, _("nothing was written: %s"));
            f.counts = counts;
            return f;
        }
        const auto codec = makeTextCodec();
        const std::string& path = request_.output;
        std::string into;
        if (request_.tableInMemory) {
        } else if (path.empty() || path == "-") {
            writeArticles(std::cout, request_.excel ? Format::ExcelCsv : Format::Csv,
                          state_.received, *codec);
            std::cout.flush();
        } else {
            std::ostringstream text;
            const Format format = formatOf(path);
            writeArticles(text, format == Format::Csv && request_.excel ? Format::ExcelCsv : format,
                          state_.received, *codec);
            std::string error;
            if (writeFileAtomically(path, text.str(), false, error).empty())
                return {OUTCOME_NOT_WRITTEN, _("not written"), counts,
                        formatted(_("cannot write %s"), error.c_str())};
            into = formatted(_(" into %s"), path.c_str());
        }
        Outcome out{OUTCOME_DONE, _("done"), counts, counts + into + tookAgainstFloor()};
        return saveTable(state_.received, out);
    }

    // Leaves `table` in the --save-table file, when one is named; a file that cannot be
    // written turns `out` into that failure, saying what was done before.
    Outcome saveTable(const std::vector<ArticleRecord>& table, Outcome out) {
        if (out.code != OUTCOME_DONE) return out;
        out.tableKnown = true;
        out.table = table;
        const std::string& path = request_.saveTable;
        if (path.empty()) return out;
        std::ostringstream text;
        writeArticles(text, formatOf(path), table, *makeTextCodec());
        std::string error;
        if (writeFileAtomically(path, text.str(), false, error).empty()) {
            Outcome failed{OUTCOME_NOT_WRITTEN, _("table not saved"), out.counts,
                           formatted(_("%s; but the table could not be saved: cannot write %s"),
                                     out.message.c_str(), error.c_str())};
            failed.differences = std::move(out.differences);
            return failed;
        }
        out.message = formatted(_("%s; table saved in %s"), out.message.c_str(), path.c_str());
        return out;
    }

    Outcome remove(const std::vector<ArticleRecord>& codes) {
        state_.supply = &codes;
        state_.refusedCodes.clear();
        state_.deleteRefused = state_.deleteRefusedSeen = 0;
        int32_t deleted = 0;
        const int32_t rc =
            link_.deleteArticles(kPort, request_.baud, device(), session_, supplyNext, 0, deleted,
                                 request_.continueOnRefusal ? &state_.deleteRefused : nullptr);
        link_.close();
        noteRefusedDeletion(state_, deleted + state_.deleteRefused);
        const std::string counts = formatted(_("%d deleted"), deleted);
        const size_t answered = size_t(deleted + state_.deleteRefused);
        if (state_.interrupted && rc == VELKO_OK) {
            return stopped(counts, formatted(_("%zu of %zu codes handled; the rest not"), answered,
                                             codes.size()));
        }
        if (rc == VELKO_ERR_READ && !link_.refusal().empty()) {
            const std::string code = codeText(codes[size_t(deleted)]);
            return {OUTCOME_REFUSED, _("not deleted"), counts,
                    formatted(_("the device refused to delete %s (answered %s); %d code(s) "
                                "before it were deleted, none after; %s goes on with the others"),
                              code.c_str(), link_.refusal().c_str(), deleted,
                              request_.command == Command::Sync ? "--continue-on-refusal"
                                                                : "--continue")};
        }
        if (rc != VELKO_OK) {
            const bool onACode = answered < codes.size();
            Outcome f = failed(rc, link_, line_.path);
            if (onACode) {
                f.message = formatted(_("deleting %s was not confirmed, nor any code after it: %s"),
                                      codeText(codes[answered]).c_str(), f.message.c_str());
            }
            f.counts = counts;
            return f;
        }
        if (!state_.refusedCodes.empty()) {
            std::string codes;
            for (const auto& code : state_.refusedCodes)
                codes += (codes.empty() ? "" : ", ") + code;
            return {OUTCOME_REFUSED, _("not deleted"), counts,
                    formatted(_("the device refused to delete %s (answered %s); %s"), codes.c_str(),
                              link_.refusal().c_str(), counts.c_str())};
        }
        return {OUTCOME_DONE, _("done"), counts, counts};
    }

    // Zeroes the counters; only a "D" from the device confirms it. `saved` names the report
    // that close-day saved first.
    Outcome zero(const std::string& saved) {
        ReplyString confirmation;
        bool sent = false;
        const int32_t rc =
            link_.zeroCounters(kPort, request_.baud, device(), session_, &confirmation, &sent);
        link_.close();
        if (rc != VELKO_OK && sent) {
            // The device has the request and may well have zeroed: the report's name says so,
            // so that nobody adds the same sales again from the next report.
            if (!saved.empty()) reportNow_ = markUnconfirmed(saved);
            const std::string unconfirmed =
                formatted(_("the device took the reset but its answer never came (%s): the "
                            "counters may be zeroed; check them with download before closing the "
                            "day again"),
                          resultName(rc));
            return {OUTCOME_RESET_UNCONFIRMED, _("not confirmed"), "",
                    saved.empty() ? unconfirmed : reportSaved(reportNow_, unconfirmed)};
        }
        if (rc != VELKO_OK) {
            Outcome f = failed(rc, link_, line_.path);
            if (!saved.empty())
                f.message =
                    reportSaved(saved, formatted(_("zeroing failed: %s"), f.message.c_str()));
            return f;
        }
        if (confirmation != "D") {
            const std::string doubt = formatted(_("the device answered the reset with '%s': it may "
                                                  "not have zeroed its counters; check them with "
                                                  "download"),
                                                confirmation.c_str());
            return {OUTCOME_RESET_UNCONFIRMED, _("not confirmed"), "",
                    saved.empty() ? doubt : reportSaved(saved, doubt)};
        }
        return {OUTCOME_DONE, _("done"), "",
                saved.empty() ? _("counters zeroed") : reportSaved(saved, _("counters zeroed"))};
    }

    // What a close of day did after saving its report.
    static std::string reportSaved(const std::string& report, const std::string& then) {
        return formatted(_("the report is saved as %s; %s"), report.c_str(), then.c_str());
    }

    Outcome closeDay() {
        const int32_t rc = readTable();
        if (state_.interrupted)
            return stopped("", _("no report saved; the counters were not touched"));
        if (rc != VELKO_OK)
            return failed(rc, link_, line_.path, _("no report, counters not touched: %s"));
        int64_t quantity = 0, value = 0;
        for (const ArticleRecord& r : state_.received) {
            quantity += r.quantityCounter;
            value += r.valueCounter;
        }
        const auto codec = makeTextCodec();
        std::ostringstream text;
        writeArticles(text, request_.excel ? Format::ExcelCsv : Format::Csv, state_.received,
                      *codec);
        std::string error;
        const std::string report = writeFileAtomically(
            request_.reportDir + "/" + reportName(line_.device, line_.reportTag), text.str(), true,
            error);
        const std::string counts =
            formatted(ngettext("%zu article", "%zu articles", state_.received.size()),
                      state_.received.size());
        if (report.empty()) {
            return {OUTCOME_REPORT_NOT_SAVED, _("no report"), counts,
                    formatted(_("the report could not be saved (%s); the counters were not "
                                "touched"),
                              error.c_str())};
        }
        if (request_.recordReport) {
            const std::string why = request_.recordReport(report, state_.received);
            if (!why.empty()) {
                return {OUTCOME_REPORT_NOT_SAVED, _("no report"), counts,
                        formatted(_("the report is saved as %s but could not be recorded (%s); the "
                                    "counters were not touched"),
                                  report.c_str(), why.c_str())};
            }
        }
        if (stopAsked(request_.stop)) {
            Outcome out = stopped(
                counts, reportSaved(report, _("the reset was not sent: the counters were not "
                                              "touched")));
            out.report = report;
            return out;
        }
        Outcome out = zero(report);
        out.report = reportNow_.empty() ? report : reportNow_;
        out.counts = formatted(_("%s, quantity %s, value %s"), counts.c_str(),
                               formatAmount(quantity, 3).c_str(), formatAmount(value, 2).c_str());
        if (out.code != OUTCOME_DONE) return out;
        out.message =
            formatted(_("report %s: %s; counters zeroed"), report.c_str(), out.counts.c_str());
        std::vector<ArticleRecord> zeroed = state_.received;
        for (ArticleRecord& r : zeroed) r.quantityCounter = r.valueCounter = 0;
        return saveTable(zeroed, out);
    }

    // "2 added, 3 changed, 1 deleted, 16 unchanged", with the articles left alone when the
    // device keeps those the list does not name.
    std::string syncCounts(const TableComparison& c) const {
        return request_.keepOthers
                   ? formatted(_("%zu added, %zu changed, 0 deleted (%zu left alone), %zu "
                                 "unchanged"),
                               c.missing, c.changed, c.extra, c.unchanged)
                   : formatted(_("%zu added, %zu changed, %zu deleted, %zu unchanged"), c.missing,
                               c.changed, c.extra, c.unchanged);
    }

    // Makes the device hold the list: the new and changed articles in one upload session, the
    // articles beyond the list in one deletion session, nothing else.
    Outcome sync() {
        std::vector<ArticleRecord> held = request_.held;
        if (!request_.againstGiven) {
            const int32_t rc = readTable();
            if (state_.interrupted) return stopped("", _("nothing was changed"));
            if (rc != VELKO_OK) return failed(rc, link_, line_.path, _("nothing was changed: %s"));
            held.swap(state_.received);
        }
        if (request_.pricesOnly) keepFlagsAndGroups(list_, held);
        const TableComparison plan = compareTables(list_, held);
        std::vector<ArticleRecord> uploads, deletions;
        for (const ArticleDifference& d : plan.differences) {
            if (d.kind != ArticleDifference::Extra) {
                uploads.push_back(d.listed);
            } else if (!request_.keepOthers) {
                // Asked for as the device lists codes in short, without the download's zeros.
                ArticleRecord r = d.held;
                const size_t zeros = std::min(std::strspn(r.code, "0"), sizeof r.code - 2);
                std::memmove(r.code, r.code + zeros, sizeof r.code - zeros);
                deletions.push_back(r);
            }
        }
        const std::string counts = syncCounts(plan);
        if (request_.dryRun) {
            // TRANSLATORS: what a sync would do to an article, in the "what" column.
            const char* const words[3] = {_("add"), _("change"),
                                          request_.keepOthers ? nullptr : _("delete")};
            const auto codec = makeTextCodec();
            std::string estimate;
            if (!uploads.empty()) {
                const double ms =
                    Floor(request_.baud).uploadMs(uploads, request_.skipSecondPreparation);
                estimate = formatted(_("; the upload about %s at %u baud"),
                                     formatDuration(ms / 1000).c_str(), request_.baud);
            }
            Outcome out{OUTCOME_DONE, _("done"), counts,
                        formatted(_("would be %s; nothing was sent (--dry-run)"), counts.c_str()) +
                            estimate};
            out.differences = differenceRows(plan, words, *codec);
            return out;
        }
        if (!uploads.empty()) {
            Outcome sent = upload(uploads);
            const bool goOn = sent.code == OUTCOME_REFUSED && request_.continueOnRefusal;
            if (sent.code != OUTCOME_DONE && !goOn) {
                if (!deletions.empty())
                    sent.message = formatted(_("%s; no article was deleted"), sent.message.c_str());
                return sent;
            }
            if (stopAsked(request_.stop) && !deletions.empty()) {
                return stopped(sent.counts,
                               formatted(_("the %zu changes were sent; no article was deleted"),
                                         uploads.size()));
            }
            if (goOn) {
                // The refusal decides the outcome; the deletions still go, as asked.
                if (deletions.empty()) return sent;
                Outcome removed = remove(deletions);
                // A fault of the line outranks the refusals: it says what to check first.
                if (removed.code != OUTCOME_DONE && removed.code != OUTCOME_REFUSED) {
                    removed.message = formatted(_("%s; deleting: %s"), sent.message.c_str(),
                                                removed.message.c_str());
                    return removed;
                }
                sent.message =
                    formatted(_("%s; deleting: %s"), sent.message.c_str(), removed.message.c_str());
                if (removed.code == OUTCOME_REFUSED) sent.counts += ", " + removed.counts;
                return sent;
            }
        }
        if (!deletions.empty()) {
            Outcome removed = remove(deletions);
            if (removed.code != OUTCOME_DONE) {
                if (!uploads.empty())
                    removed.message =
                        formatted(_("the changes were uploaded, but %s"), removed.message.c_str());
                return removed;
            }
        }
        Outcome out{OUTCOME_DONE, _("done"), counts, counts};
        if (request_.verify) return verifyAfter(out.message);
        return saveTable(tableAfter(held, plan, request_.keepOthers), out);
    }

    // Reads the table back after an upload or a sync: the sending's outcome, or the
    // differences that remain. Articles beyond the list only count where the sync deleted them.
    Outcome verifyAfter(const std::string& sent) {
        Outcome out = verify(request_.command == Command::Upload || request_.keepOthers);
        out.message = sent + "; " + out.message;
        return out;
    }

    // Reads the device's table and compares it with the list; `ignoreExtra` leaves out the
    // articles the list does not name. The table read is saved when asked.
    Outcome verify(bool ignoreExtra) {
        const int32_t rc = readTable();
        if (state_.interrupted) return stopped("", _("the table was not read to the end"));
        if (rc != VELKO_OK)
            return failed(rc, link_, line_.path, _("the table could not be read: %s"));
        const TableComparison found = compareTables(list_, state_.received);
        const size_t differing = found.missing + found.changed + (ignoreExtra ? 0 : found.extra);
        const std::string matching = formatted(_("%zu match"), found.unchanged);
        Outcome out{
            OUTCOME_DONE, _("match"), matching,
            ignoreExtra && found.extra
                ? formatted(_("verified: the device holds the list (%s, %zu other "
                              "article(s) on it)"),
                            matching.c_str(), found.extra)
                : formatted(_("verified: the device holds the list (%s)"), matching.c_str())};
        if (differing) {
            // TRANSLATORS: how an article differs, in the "what" column of a verification.
            const char* const words[3] = {_("missing"), _("differs"),
                                          ignoreExtra ? nullptr : _("extra")};
            const std::string counts =
                ignoreExtra ? formatted(_("%zu missing, %zu differ"), found.missing, found.changed)
                            : formatted(_("%zu missing, %zu differ, %zu extra"), found.missing,
                                        found.changed, found.extra);
            const auto codec = makeTextCodec();
            out = {OUTCOME_MISMATCH, _("differs"), counts + ", " + matching,
                   formatted(_("the device's table differs from the list: %s, %s"), counts.c_str(),
                             matching.c_str())};
            out.differences = differenceRows(found, words, *codec);
        }
        // What was read is the device's table, whatever it shows.
        const int status = out.code;
        out.code = OUTCOME_DONE;
        out = saveTable(state_.received, out);
        if (out.code == OUTCOME_DONE) out.code = status;
        return out;
    }

    const JobRequest& request_;
    const LineSpec& line_;
    std::unique_ptr<Platform> platform_;
    VELKOComm link_;
    TraceLog trace_;
    ReplyString session_;
    JobState state_;
    std::string reportNow_;  // the saved report's name once a reset left unconfirmed renamed it
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::vector<ArticleRecord> list_;  // what the device is to hold, as the sync plans it
};

}  // namespace

Outcome runJob(const JobRequest& request, const LineSpec& line, Progress& progress, size_t row) {
    const auto start = std::chrono::steady_clock::now();
    // A job that waited for its turn on a shared line does not start after Ctrl-C.
    Outcome out = stopAsked(request.stop) ? stopped("", _("not started; nothing was sent"))
                                          : Job(request, line, progress, row).run();
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress.finish(row, out.state + (out.counts.empty() ? "" : "  " + out.counts));
    return out;
}

int removeLeftoverReports(const std::string& dir) {
    namespace fs = std::filesystem;
    int removed = 0;
    std::error_code error;
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(10);
    for (fs::directory_iterator it(systemName(dir), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().u8string();
        const bool part = name.compare(0, 7, "device-") == 0 && name.size() > 9 &&
                          name.compare(name.size() - 9, 9, ".csv.part") == 0;
        std::error_code ignored;
        if (part && it->last_write_time(ignored) < old && fs::remove(it->path(), ignored))
            ++removed;
    }
    return removed;
}

std::string perLineName(const std::string& path, int position) {
    return withSuffix(path, "-" + std::to_string(position));
}

}  // namespace velko::jobs
