// One job of the tool on one line: its own platform, VELKOComm and trace, so that jobs on
// several lines run side by side without sharing anything but the progress display.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "jobs/outcome.h"
#include "jobs/progress.h"
#include "velko/velko.h"

namespace velko::jobs {

enum class Command { Upload, Download, Delete, ZeroCounters, CloseDay, Sync, Verify };

struct LineSpec {
    std::string path;  // empty: port 1 of the platform
    int device = 1;
    int position = 1;  // on the command line, from 1
    // Put into report names when another line of the run has the same device number.
    std::string reportTag;
};

// Everything a job needs, the same for every line.
struct JobRequest {
    Command command = Command::Download;
    uint32_t baud = 9600;
    std::string trace;                    // a trace file, already named for the line
    std::vector<ArticleRecord> articles;  // to upload, or the codes to delete
    bool continueOnRefusal = false;       // upload, delete: go on after a refusal
    bool skipSecondPreparation = false;
    std::string output;  // download: the file, already named for the line ("" or "-": stdout)
    std::string reportDir = ".";
    bool excel = false;  // download, close-day: CSV for Polish Excel (Format::ExcelCsv)
    // sync, verify, upload --verify. `articles` is then the list the device is to hold.
    bool againstGiven = false;        // sync --against: `held` is the device's table
    std::vector<ArticleRecord> held;  // ... as the file the user gave has it
    std::string saveTable;    // sync, download, close-day: where to leave the table known after
    bool keepOthers = false;  // sync: leave the articles the list does not name
    // sync: a listed article the device holds keeps its flag and group there; the list changes
    // names and prices only (a promotion's list of code, name and price)
    bool pricesOnly = false;
    bool dryRun = false;  // sync: work out the changes and send none
    bool verify = false;  // upload, sync: read the table back and compare it with the list
    // For a program that runs jobs for others (the service) rather than for a terminal:
    // a download's table stays in Outcome::table instead of going to `output`...
    bool tableInMemory = false;
    // ... the job stops at the next article once `*stop` is set, as on Ctrl-C...
    const std::atomic<bool>* stop = nullptr;
    // ... and a close of day's saved report is recorded before the reset is sent: the report's
    // file and the table read; the reason it could not be recorded ("" when it was), which
    // leaves the counters untouched.
    std::function<std::string(const std::string& report, const std::vector<ArticleRecord>&)>
        recordReport;
};

struct Outcome {
    int code = OUTCOME_DONE;  // an OutcomeCode
    std::string state;        // a word or two for the summary table: "done", "VELKO_ERR_READ"
    std::string counts;       // "20 accepted, 1 refused"
    std::string message;      // one line for a person: what happened, and on failure what to check
    double seconds = 0;
    // What the job leaves known, for a program that keeps it: a sync's changes or a
    // verification's differences, row by row...
    std::vector<std::array<std::string, 5>> differences{};
    // ... the device's table as read, or as it stands after a sync or a close of day
    // (`tableKnown`)...
    bool tableKnown = false;
    std::vector<ArticleRecord> table{};
    // ... and the report a close of day saved, under its name now.
    std::string report{};
};

Outcome runJob(const JobRequest& request, const LineSpec& line, Progress& progress, size_t row);

// Removes the temporary report files ("device-*.csv.part") that a close of day killed before
// it renamed them left in `dir`, once they are ten minutes old (so as not to take one that a
// close of day running meanwhile still writes); how many were removed.
int removeLeftoverReports(const std::string& dir);

// `path` with "-N" before its extension: the per-line name when several lines share a name.
std::string perLineName(const std::string& path, int position);

}  // namespace velko::jobs
