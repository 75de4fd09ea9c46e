// velko: uploads price lists to VELKO devices, reads their sales and closes the day, on one
// line or on several at once.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "cli/difference_table.h"
#include "cli/exit_status.h"
#include "cli/host_os.h"
#include "cli/progress_display.h"
#include "cli/scan_command.h"
#include "files/article_file.h"
#include "jobs/jobs.h"
#include "jobs/outcome.h"
#ifdef VELKO_WITH_HQ
#include "hq/hq.h"
#endif
#ifdef VELKO_WITH_SERVE
#include "serve/run.h"
#ifdef VELKO_WITH_WINDOWS_SERVICE
#include "serve/windows_service.h"
#endif
#endif
#include "device/floor.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "files/validate.h"
#include "link/platform.h"
#include "link/velko_comm.h"
#include "velko/velko.h"

namespace velko::cli {

using namespace velko::files;
using namespace velko::jobs;
namespace {

struct Options {
    std::vector<std::string> lines;
    int device = 1;
    uint32_t baud = 9600;
    std::string trace;
    bool quiet = false;
    std::string file;     // upload FILE, delete --from FILE, sync FILE, verify FILE
    std::string against;  // sync --against FILE: the device's table as the user has it
    std::vector<std::string> codes;
    bool dryRun = false;
    ReadOptions read;  // how CSV files are read: --delimiter, --encoding, --column
    JobRequest request;
};

// "PATH@N": a line with its own device number; a path may itself hold '@'.
bool parseLine(const std::string& text, int fallbackDevice, int position, LineSpec& line,
               std::string& error) {
    line = {text, fallbackDevice, position, ""};
    const size_t at = text.find_last_of('@');
    if (at != std::string::npos && at + 1 < text.size() &&
        text.find_first_not_of("0123456789", at + 1) == std::string::npos) {
        line.path = text.substr(0, at);
        line.device = text.size() - at - 1 <= 3 ? std::stoi(text.substr(at + 1)) : 1000;
    }
    if (line.device < 0 || line.device > 99) {
        error = (text.empty() ? formatted(_("device %d"), line.device) : text) + ": " +
                resultLine(VELKO_ERR_ADDRESS);
        return false;
    }
    return true;
}

// A fault in the reader's language: its code's template translated, or the English reason where
// only that tells.
std::string wordFault(const Fault& f) {
    // The columns' names (code, name, price, flag and group are the tables' headings too); a
    // name not among them, a JSON key say, stays as the file has it.
    [[maybe_unused]] static const char* const kColumnWords[] = {
        N_("code"), N_("name"), N_("price"), N_("flag"), N_("group"), N_("quantity"), N_("value")};
    const char* words = f.code == "other" ? nullptr : faultTemplate(f.code);
    const std::string what = words ? renderTemplate(_(words), f.params) : f.reason;
    if (f.row > 0 && !f.column.empty())
        return formatted(_("%s: row %d, column %s: %s"), f.file.c_str(), f.row, _(f.column.c_str()),
                         what.c_str());
    if (f.row > 0) return formatted(_("%s: row %d: %s"), f.file.c_str(), f.row, what.c_str());
    return f.file + ": " + what;
}

// Reads and checks an article file; prints every fault, warnings and the columns passed over.
// False when there was a fault.
bool loadArticles(const std::string& path, RowUse use, const ReadOptions& read,
                  std::vector<ArticleRecord>& records) {
    std::vector<Fault> faults, warnings;
    FileLayout layout;
    loadArticleFile(path, use, *makeTextCodec(), records, faults, &warnings, read, &layout);
    if (!layout.ignored.empty()) {
        std::string names;
        for (const std::string& name : layout.ignored) names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, _("velko: %s: ignored columns: %s\n"),
                     path == "-" ? _("standard input") : path.c_str(), names.c_str());
    }
    for (const Fault& w : warnings)
        std::fprintf(stderr, _("velko: warning: %s\n"), wordFault(w).c_str());
    // In the order of the file, whichever check found them.
    std::stable_sort(faults.begin(), faults.end(),
                     [](const Fault& a, const Fault& b) { return a.row < b.row; });
    for (const Fault& f : faults) std::fprintf(stderr, "velko: %s\n", wordFault(f).c_str());
    if (!faults.empty()) {
        std::fprintf(stderr,
                     ngettext("velko: %zu fault; nothing was sent\n",
                              "velko: %zu faults; nothing was sent\n", faults.size()),
                     faults.size());
    }
    return faults.empty();
}

bool codesFromArguments(const std::vector<std::string>& codes,
                        std::vector<ArticleRecord>& records) {
    bool good = true;
    for (const std::string& code : codes) {
        const std::string problem = codeProblem(code);
        if (!problem.empty()) {
            const char* words =
                faultTemplate(code.find_first_not_of("0123456789") == std::string::npos &&
                                      !code.empty() && code.size() <= 14
                                  ? "code_all_zeros"
                                  : "code_not_digits");
            std::fprintf(stderr, "velko: %s\n",
                         renderTemplate(_(words), {{"value", code}}).c_str());
            good = false;
            continue;
        }
        ArticleRecord r{};
        code.copy(r.code, sizeof r.code - 1);
        records.push_back(r);
    }
    if (!good) std::fprintf(stderr, "%s", _("velko: nothing was sent\n"));
    return good;
}

void printDryRun(const Options& o, const std::vector<LineSpec>& lines,
                 const std::vector<std::string>& labels) {
    std::string name;
    ArticleCommand frame;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::printf(_("would send to device %d on %s at %u baud:\n"), lines[i].device,
                    labels[i].c_str(), o.baud);
        std::printf("  W38;1;1;\n");
        if (!o.request.skipSecondPreparation) std::printf("  W38;2;1;\n");
        for (const ArticleRecord& r : o.request.articles) {
            articleCommand(r, name, frame);
            std::printf("  %s\n", frame);
        }
    }
    // What the job will take at best: the protocol's pauses and the wire time of its bytes.
    const double ms = Floor(o.baud).uploadMs(o.request.articles, o.request.skipSecondPreparation);
    const size_t count = o.request.articles.size();
    std::printf(ngettext("%zu article checked; nothing was sent (--dry-run)\n",
                         "%zu articles checked; nothing was sent (--dry-run)\n", count),
                count);
    std::printf(ngettext("%zu article: about %s at %u baud\n",
                         "%zu articles: about %s at %u baud\n", count),
                count, formatDuration(ms / 1000).c_str(), o.baud);
}

// The exit status of the whole run: interrupted, the common cause of the failures, or
// EXIT_MIXED.
int overallStatus(const std::vector<Outcome>& outcomes) {
    int status = EXIT_DONE;
    for (const Outcome& o : outcomes) {
        if (o.code == EXIT_INTERRUPTED) return EXIT_INTERRUPTED;
    }
    for (const Outcome& o : outcomes) {
        if (o.code == EXIT_DONE) continue;
        status = status == EXIT_DONE || status == o.code ? o.code : EXIT_MIXED;
    }
    return status;
}

// `text` and spaces to `width` characters (a Polish letter is two bytes of UTF-8).
std::string padded(const std::string& text, size_t width) {
    const size_t shown = size_t(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    return text + std::string(width > shown ? width - shown : 0, ' ');
}

void printSummary(const std::vector<LineSpec>& lines, const std::vector<std::string>& labels,
                  const std::vector<Outcome>& outcomes) {
    // TRANSLATORS: the headings of the summary table of a run on several lines.
    const std::string heads[5] = {_("line"), _("device"), _("outcome"), _("counts"), _("time")};
    size_t width = heads[0].size();
    for (const auto& label : labels) width = std::max(width, label.size());
    std::fprintf(stderr, "\n%s  %s  %s  %s  %s\n", padded(heads[0], width).c_str(),
                 padded(heads[1], 6).c_str(), padded(heads[2], 16).c_str(),
                 padded(heads[3], 40).c_str(), heads[4].c_str());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::fprintf(stderr, "%s  %s  %s  %s  %.1f s\n", padded(labels[i], width).c_str(),
                     padded(std::to_string(lines[i].device), 6).c_str(),
                     padded(outcomes[i].state, 16).c_str(), padded(outcomes[i].counts, 40).c_str(),
                     outcomes[i].seconds);
    }
}

// Lines that share a device number (devices of the same number on different lines) get a
// tag from their line's name in their report names, so one report cannot be told for another.
void tagSharedDeviceNumbers(std::vector<LineSpec>& lines) {
    for (LineSpec& line : lines) {
        const auto shared = std::count_if(lines.begin(), lines.end(), [&](const LineSpec& other) {
            return other.device == line.device;
        });
        if (shared < 2) continue;
        std::string tag = line.path;
        if (tag.compare(0, 5, "/dev/") == 0) tag.erase(0, 5);
        if (tag.compare(0, 6, "tcp://") == 0) tag.replace(0, 6, "tcp-");
        for (char& c : tag) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '-';
        }
        line.reportTag = tag;
    }
}

int run(Options& o, Command command) {
    std::vector<LineSpec> lines;
    std::vector<std::string> labels;
    if (o.lines.empty()) o.lines.push_back("");
    for (size_t i = 0; i < o.lines.size(); ++i) {
        LineSpec line;
        std::string error;
        if (!parseLine(o.lines[i], o.device, int(i) + 1, line, error)) {
            std::fprintf(stderr, "velko: %s\n", error.c_str());
            return EXIT_USAGE;
        }
        if (line.path.empty()) line.path = firstPortName();
        lines.push_back(line);
    }
    // A line's path names it, with the device number where devices share the line.
    for (const LineSpec& line : lines) {
        const bool shared = std::count_if(lines.begin(), lines.end(), [&](const LineSpec& l) {
                                return l.path == line.path;
                            }) > 1;
        labels.push_back(line.path + (shared ? "@" + std::to_string(line.device) : ""));
    }
    tagSharedDeviceNumbers(lines);
    const bool several = lines.size() > 1;
    if (several && command == Command::Download &&
        (o.request.output.empty() || o.request.output == "-")) {
        std::fprintf(stderr, "%s",
                     _("velko: a download from several lines needs -o FILE (one file per "
                       "line)\n"));
        return EXIT_USAGE;
    }

    o.request.command = command;
    o.request.baud = o.baud;
    o.request.trace = o.trace;
    const bool listed =
        command == Command::Upload || command == Command::Sync || command == Command::Verify;
    if (listed && !loadArticles(o.file, RowUse::Upload, o.read, o.request.articles))
        return EXIT_BAD_INPUT;
    // An empty list would have sync delete every article: far more likely an export gone wrong
    // than a wish.
    if (command == Command::Sync && o.request.articles.empty() && !o.request.keepOthers) {
        std::fprintf(stderr,
                     _("velko: %s has no articles; a sync would delete every article of the "
                       "device: nothing was sent (delete does that on purpose)\n"),
                     o.file.c_str());
        return EXIT_BAD_INPUT;
    }
    if (command == Command::Delete &&
        !(o.file.empty() ? codesFromArguments(o.codes, o.request.articles)
                         : loadArticles(o.file, RowUse::Codes, o.read, o.request.articles)))
        return EXIT_BAD_INPUT;
    if (command == Command::Upload && o.request.articles.empty()) {
        std::fprintf(stderr, _("velko: %s has no articles; nothing was sent\n"), o.file.c_str());
        return EXIT_DONE;
    }
    if (o.dryRun) {
        printDryRun(o, lines, labels);
        return EXIT_DONE;
    }

    ProgressDisplay progress(!o.quiet && isTerminal(stderr) ? stderr : nullptr, labels);
    std::vector<Outcome> outcomes(lines.size());
    std::vector<JobRequest> requests(lines.size(), o.request);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (several && !o.trace.empty()) requests[i].trace = perLineName(o.trace, int(i) + 1);
        if (several && command == Command::Download)
            requests[i].output = perLineName(o.request.output, int(i) + 1);
        if (several && !o.request.saveTable.empty())
            requests[i].saveTable = perLineName(o.request.saveTable, int(i) + 1);
        // Each device's own table: FILE-1, FILE-2... as --save-table left them.
        if (!o.against.empty()) {
            const std::string against = several ? perLineName(o.against, int(i) + 1) : o.against;
            if (!loadArticles(against, RowUse::Table, ReadOptions(), requests[i].held))
                return EXIT_BAD_INPUT;
            requests[i].againstGiven = true;
        }
    }
    for (const JobRequest& r : requests) {
        if (r.trace.empty() || TraceLog(r.trace.c_str(), TraceLog::UTF8_NAME).openFile()) continue;
        std::fprintf(stderr, _("velko: the trace file %s cannot be opened for writing\n"),
                     r.trace.c_str());
        return EXIT_OUTPUT_NOT_WRITTEN;
    }
    if (command == Command::CloseDay) {
        if (const int removed = removeLeftoverReports(o.request.reportDir)) {
            std::fprintf(stderr,
                         ngettext("velko: removed %d unfinished report file of an earlier close "
                                  "of day\n",
                                  "velko: removed %d unfinished report files of an earlier close "
                                  "of day\n",
                                  removed),
                         removed);
        }
    }

    // One thread per line; the devices on one line (a bus, or a device server's one port)
    // take turns on it in the order given.
    catchInterrupts();
    for (JobRequest& r : requests) r.stop = &interruption();
    std::vector<std::vector<size_t>> byPath;
    for (size_t i = 0; i < lines.size(); ++i) {
        auto same = std::find_if(byPath.begin(), byPath.end(), [&](const auto& group) {
            return lines[group[0]].path == lines[i].path;
        });
        if (same == byPath.end()) {
            byPath.push_back({i});
        } else {
            same->push_back(i);
        }
    }
    std::vector<std::thread> threads;
    for (const auto& group : byPath) {
        threads.emplace_back([&, group] {
            for (size_t i : group) outcomes[i] = runJob(requests[i], lines[i], progress, i);
        });
    }
    for (auto& t : threads) t.join();

    for (size_t i = 0; i < lines.size(); ++i) {
        const Outcome& out = outcomes[i];
        const std::string where = several ? labels[i] + ": " : "";
        if (out.code != EXIT_DONE) {
            std::fprintf(stderr, "velko: %s%s\n", where.c_str(), out.message.c_str());
        } else if (!o.quiet) {
            std::fprintf(stderr, "%s%s\n", where.c_str(), out.message.c_str());
        }
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string table = differenceTable(outcomes[i].differences);
        if (table.empty()) continue;
        if (several) std::printf("%s:\n", labels[i].c_str());
        std::fputs(table.c_str(), stdout);
    }
    std::fflush(stdout);
    if (several && !o.quiet) printSummary(lines, labels, outcomes);
    return overallStatus(outcomes);
}

}  // namespace
}  // namespace velko::cli

int main(int argc, char** argv) {
    using namespace velko::cli;
    Options o;
    startTranslations(argc > 0 ? argv[0] : nullptr);
    prepareConsole();
    CLI::App app{
        "velko: uploads price lists to VELKO devices, reads their sales and closes the "
        "day, on one serial line or on several at once."};
    app.fallthrough();
    app.set_version_flag("--version", std::string("velko ") + VELKO_VERSION_STRING);
    app.require_subcommand(1);
    app.add_option(
           "--line", o.lines,
           std::string(
               "serial line: a device path, COM3 on Windows, or tcp://HOST:PORT; repeat for "
               "several devices at once, PATH@N gives that line's device number "
               "(default: ") +
               velko::firstPortName() + ")")
        ->type_name("PATH[@N]");
    app.add_option("--device", o.device, "device number, 0 to 99")
        ->capture_default_str()
        ->type_name("N");
    app.add_option("--baud", o.baud, "line speed")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text.find_first_not_of("0123456789") == std::string::npos &&
                               text.find_first_not_of('0') != std::string::npos
                           ? std::string()
                           : formatted(_("'%s' is not a baud rate (a whole number above 0)"),
                                       text.c_str());
            },
            "", "baud"))
        ->type_name("N");
    app.add_option("--trace", o.trace,
                   "append a time-stamped trace of every step to FILE; with several lines one "
                   "file per line, FILE-1, FILE-2... (before the extension), in --line order")
        ->type_name("FILE");
    app.add_flag("--quiet", o.quiet, "print only errors");
    // A CLI11 check that hands the text to one of the file option parsers.
    auto understood = [](std::function<std::string(const std::string&)> parse) {
        return CLI::Validator(parse, "", "");
    };
    app.add_option_function<std::string>(
           "--delimiter", [&](const std::string& text) { parseDelimiter(text, o.read.delimiter); },
           "between the fields of a CSV file: , ; or tab (default: found from the header line)")
        ->check(understood([](const std::string& text) {
            char ignored;
            return parseDelimiter(text, ignored);
        }))
        ->type_name("CHAR");
    app.add_option_function<std::string>(
           "--encoding", [&](const std::string& text) { parseEncoding(text, o.read.encoding); },
           "of a CSV file: utf-8 or windows-1250 (default: UTF-8 if the file is, else "
           "Windows-1250)")
        ->check(understood([](const std::string& text) {
            Encoding ignored;
            return parseEncoding(text, ignored);
        }))
        ->type_name("NAME");
    app.add_option_function<std::vector<std::string>>(
           "--column",
           [&](const std::vector<std::string>& texts) {
               for (const std::string& text : texts) addColumnMapping(text, o.read);
           },
           "read a CSV column of this heading as FIELD (code, name, price, flag, group, "
           "quantity, value) or pass it over (ignore); repeat for several")
        ->check(understood([](const std::string& text) {
            ReadOptions ignored;
            return addColumnMapping(text, ignored);
        }))
        ->type_name("HEADING=FIELD");

    auto* upload = app.add_subcommand("upload", "upload the articles of a CSV or JSON file");
    upload->add_option("FILE", o.file, "CSV or JSON file, - for CSV on standard input")
        ->required()
        ->type_name("FILE");
    upload->add_flag("--continue-on-refusal", o.request.continueOnRefusal,
                     "go on after an article the device refuses");
    upload->add_flag("--skip-second-preparation", o.request.skipSecondPreparation,
                     "leave out the second preparatory command");
    upload->add_flag("--dry-run", o.dryRun, "check the file and print what would be sent");
    upload->add_flag("--verify", o.request.verify,
                     "read the table back afterwards and compare it with the file");

    auto* download = app.add_subcommand("download", "download every article with its counters");
    download
        ->add_option("-o,--output", o.request.output,
                     "CSV or JSON file (default: CSV on standard output); with several "
                     "lines one file per line, FILE-1, FILE-2...")
        ->type_name("FILE");
    download->add_flag("--excel", o.request.excel,
                       "CSV for Excel in Polish: ';' between fields, decimal commas, UTF-8 with "
                       "a byte-order mark");
    const char* const saveTableHelp =
        "also leave the table the device now holds in FILE (CSV or JSON, counters included), "
        "for a later sync --against; with several lines FILE-1, FILE-2...";
    download->add_option("--save-table", o.request.saveTable, saveTableHelp)->type_name("FILE");

    auto* remove = app.add_subcommand("delete", "delete articles by code");
    auto* codes = remove->add_option("CODE", o.codes, "article codes")->type_name("CODE");
    remove->add_option("--from", o.file, "CSV or JSON file with a code column")
        ->excludes(codes)
        ->type_name("FILE");
    remove->add_flag("--continue", o.request.continueOnRefusal,
                     "go on with the other codes after one the device refuses");

    auto* zero = app.add_subcommand("zero-counters", "zero the PLU counters");

    auto* closeDay = app.add_subcommand(
        "close-day", "save a report of every article with its counters, then zero the counters");
    closeDay->add_option("-o,--output", o.request.reportDir, "directory for the report")
        ->capture_default_str()
        ->type_name("DIR");
    closeDay->add_flag("--excel", o.request.excel,
                       "the report as CSV for Excel in Polish: ';' between fields, decimal "
                       "commas, UTF-8 with a byte-order mark");

    std::vector<std::string> scanBauds;
    std::string scanDevices;
    ScanRequest scanRequest;
    auto* scan = app.add_subcommand(
        "scan",
        "find devices: address every device number at every rate on every line (by default "
        "each serial line of the system) and print which answered");
    scan->add_option("--baud", scanBauds,
                     "the rates to try, in order (default: 9600,19200,38400,57600,115200,4800,"
                     "2400)")
        ->delimiter(',')
        ->type_name("N,...");
    scan->add_option("--devices", scanDevices, "the device numbers to try (default: 0-99)")
        ->type_name("0-99|N,...");
    scan->add_option("--answer-wait", scanRequest.answerWaitMs,
                     "how long to wait for a device's answer to its address, in ms")
        ->capture_default_str()
        ->type_name("MS");
    scan->add_flag("--all", scanRequest.all, "go on with a line after the first device found");
    closeDay->add_option("--save-table", o.request.saveTable, saveTableHelp)->type_name("FILE");

    auto* sync = app.add_subcommand(
        "sync",
        "make the device hold exactly the list: upload the new and changed articles, delete "
        "those the list does not name, leave the rest (and every counter) alone");
    sync->add_option("FILE", o.file, "CSV or JSON file, - for CSV on standard input")
        ->required()
        ->type_name("FILE");
    sync->add_option("--against", o.against,
                     "take the device's table from FILE (a download, a close-day report, a "
                     "saved table) instead of reading it: only the changes cross the line; "
                     "with several lines FILE-1, FILE-2...")
        ->type_name("FILE");
    sync->add_option("--save-table", o.request.saveTable, saveTableHelp)->type_name("FILE");
    sync->add_flag("--keep-others", o.request.keepOthers,
                   "leave the articles the list does not name on the device");
    sync->add_flag("--dry-run", o.request.dryRun,
                   "list the changes, article by article, and send none");
    sync->add_flag("--verify", o.request.verify,
                   "read the table back afterwards and compare it with the file");
    sync->add_flag("--continue-on-refusal", o.request.continueOnRefusal,
                   "go on after an article or a deletion the device refuses");
    sync->add_flag("--skip-second-preparation", o.request.skipSecondPreparation,
                   "leave out the second preparatory command");

    auto* verify = app.add_subcommand(
        "verify",
        "read the device's table and compare it with the list (exit status 8 when "
        "they differ)");
    verify->add_option("FILE", o.file, "CSV or JSON file, - for CSV on standard input")
        ->required()
        ->type_name("FILE");
    app.footer(exitStatusHelp());

    std::vector<std::string> arguments = utf8Arguments(argc, argv);
#ifdef VELKO_WITH_SERVE
    velko::serve::ServeOptions serveOptions;
    auto* serve = app.add_subcommand(
        "serve",
        "run as a service: the devices of a configuration (or simulated ones) over "
        "HTTP, with a web page, a job log and the close of day on a schedule");
    serve->add_option("--config", serveOptions.config, "the configuration (TOML)")
        ->type_name("FILE");
    serve
        ->add_option("--simulate", serveOptions.simulate,
                     "N simulated devices instead of a configuration; a token is printed")
        ->check(CLI::Range(1, 64))
        ->type_name("N");
    serve
        ->add_option("--listen", serveOptions.listen,
                     "HOST:PORT to listen on, over the configuration's (port 0: any free one)")
        ->type_name("HOST:PORT");
    serve
        ->add_option("--data", serveOptions.data,
                     "the directory of the database and the reports, over the configuration's")
        ->type_name("DIR");
    serve
        ->add_option("--web-root", serveOptions.webRoot,
                     "serve the page from DIR instead of the copy built in (to work on it)")
        ->type_name("DIR");
#ifdef VELKO_WITH_WINDOWS_SERVICE
    bool installService = false, uninstallService = false, asService = false;
    serve->add_flag("--install-service", installService,
                    "install as the Windows service \"velko\" with this --config, started with "
                    "Windows");
    serve->add_flag("--uninstall-service", uninstallService, "remove the Windows service");
    serve->add_flag("--windows-service", asService)->group("");  // what the service manager runs
#endif
#endif
#ifdef VELKO_WITH_HQ
    velko::hq::HqOptions hqOptions;
    auto* hq = app.add_subcommand(
        "hq",
        "head office: read the chain's shops from the MQTT broker into a database and "
        "answer an API (until stopped), publish price lists, show where the chain stands");
    hq->footer(
        "Exit status:\n"
        "   0  done\n"
        "   1  the broker or the database failed; a command was not answered well by every "
        "store; a device has no report of the day\n"
        "   2  the command line or the configuration is wrong, or the port is in use\n"
        "   3  the price list has faults: nothing was published");
    hq->add_option("--config", hqOptions.config, "head office's configuration (TOML)")
        ->required()
        ->type_name("FILE");
    auto* hqPublish = hq->add_subcommand("publish", "publish a price list as the next version");
    hqPublish->add_option("--store", hqOptions.stores, "only this store (repeat for several)");
    hqPublish->add_option("--device", hqOptions.devices, "only this device (repeat for several)");
    hqPublish->add_option("--from", hqOptions.from,
                          "a promotion from this time (RFC 3339 with its offset, as "
                          "2026-12-11T08:00:00+01:00): each shop changes the prices then...");
    hqPublish->add_option("--until", hqOptions.until,
                          "...and brings back the prices from before at this time");
    hqPublish->add_option("FILE", hqOptions.file, "the price list, CSV or JSON")->required();
    auto* hqCommand = hq->add_subcommand(
        "command",
        "have the shops close the day, download their tables, scan their lines or send a "
        "day's reports again");
    hqCommand->add_option("--store", hqOptions.stores, "only this store (repeat for several)");
    hqCommand->add_option("--device", hqOptions.devices,
                          "only this device or group (repeat for several)");
    hqCommand->add_option("--numbers", hqOptions.numbers,
                          "scan: the device numbers to ask, as 0-99 or 1,5,7 (default: 0-99)");
    hqCommand
        ->add_option("--wait", hqOptions.waitSeconds,
                     "seconds to wait for the answers (default 300)")
        ->check(CLI::Range(0, 86400));
    hqCommand
        ->add_option("--expires", hqOptions.expiresMinutes,
                     "minutes after which a shop that had not received it does not run it "
                     "(default 60)")
        ->check(CLI::Range(1, 10080));
    hqCommand->add_option("--day", hqOptions.day,
                          "close-day: the business day meant, YYYY-MM-DD, which a shop already "
                          "in another does not close; resend: the day to send again");
    hqCommand->add_flag("--json", hqOptions.json, "the answers as JSON");
    hqCommand->add_option("COMMAND", hqOptions.command, "close-day, download, scan or resend")
        ->required()
        ->check(CLI::IsMember({"close-day", "download", "scan", "resend"}));
    auto* hqStatus = hq->add_subcommand("status", "each store's presence and each device's list");
    hqStatus->add_flag("--json", hqOptions.json, "as JSON");
    // The register: which stores and devices are the chain's, as its IT keeps them.
    auto* hqStore = hq->add_subcommand("store", "add, retire or rename a store in the register");
    hqStore->add_option("CHANGE", hqOptions.change, "add, retire or rename")
        ->required()
        ->check(CLI::IsMember({"add", "retire", "rename"}));
    hqStore->add_option("NAME", hqOptions.names, "the store (rename: and its new name)")
        ->required()
        ->expected(1, 2);
    auto* hqDevice = hq->add_subcommand("device", "add or retire a store's device in the register");
    hqDevice->add_option("CHANGE", hqOptions.change, "add or retire")
        ->required()
        ->check(CLI::IsMember({"add", "retire"}));
    hqDevice->add_option("STORE DEVICE", hqOptions.names, "the store and the device")
        ->required()
        ->expected(2);
    auto* hqMigrate =
        hq->add_subcommand("migrate", "copy head office's SQLite database into PostgreSQL");
    hqMigrate->add_option("--to", hqOptions.to, "the PostgreSQL database, postgresql://...")
        ->required();
    auto* hqReports = hq->add_subcommand("reports", "the day reports of a business day");
    hqReports->add_option("--day", hqOptions.day, "the business day, YYYY-MM-DD")->required();
    hqReports->add_flag("--json", hqOptions.json, "as JSON");
#endif
    std::vector<char*> pointers;
    for (std::string& a : arguments) pointers.push_back(&a[0]);
    try {
        app.parse(int(pointers.size()), pointers.data());
        if (remove->parsed() && o.codes.empty() && o.file.empty())
            throw CLI::RequiredError("CODE or --from");
        if (o.request.excel && formatOf(o.request.output) == Format::Json)
            throw CLI::ValidationError(
                "--excel",
                formatted(_("writes CSV, and %s is named for JSON"), o.request.output.c_str()));
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? EXIT_DONE : EXIT_USAGE;
    }
#ifdef VELKO_WITH_HQ
    // Head office and the service keep their messages in logs and databases for others to
    // read, whatever language this terminal speaks.
    if (hq->parsed()) speakEnglish();
#endif
#ifdef VELKO_WITH_SERVE
    if (serve->parsed()) speakEnglish();
#endif
#ifdef VELKO_WITH_HQ
    if (hq->parsed()) {
        if (hqPublish->parsed()) return velko::hq::publishPriceList(hqOptions);
        if (hqCommand->parsed()) return velko::hq::sendCommand(hqOptions);
        if (hqStatus->parsed()) return velko::hq::printStatus(hqOptions);
        if (hqReports->parsed()) return velko::hq::printReports(hqOptions);
        if (hqMigrate->parsed()) return velko::hq::migrate(hqOptions);
        if (hqStore->parsed() || hqDevice->parsed()) {
            hqOptions.registerOf = hqStore->parsed() ? "store" : "device";
            if (hqStore->parsed() &&
                (hqOptions.change == "rename") != (hqOptions.names.size() == 2)) {
                std::fprintf(stderr,
                             "velko hq store: rename takes the store and its new name; "
                             "add and retire the store alone\n");
                return EXIT_USAGE;
            }
            return velko::hq::changeRegister(hqOptions);
        }
        return velko::hq::runHq(hqOptions);
    }
#endif
#ifdef VELKO_WITH_SERVE
    if (serve->parsed()) {
#ifdef VELKO_WITH_WINDOWS_SERVICE
        if (uninstallService) return velko::serve::uninstallWindowsService();
#endif
        if (serveOptions.config.empty() == (serveOptions.simulate == 0)) {
            std::fprintf(stderr, "velko: serve: give --config FILE or --simulate N\n");
            return EXIT_USAGE;
        }
#ifdef VELKO_WITH_WINDOWS_SERVICE
        if (installService) return velko::serve::installWindowsService(serveOptions);
        if (asService) return velko::serve::runAsWindowsService(serveOptions);
#endif
        return velko::serve::runServe(serveOptions);
    }
#endif
    if (scan->parsed()) {
        // The tool's own --baud and --device name one rate and one number.
        std::string error;
        if (scanBauds.empty() && app.get_option("--baud")->count() > 0)
            scanBauds.push_back(std::to_string(o.baud));
        if (scanDevices.empty())
            scanDevices =
                app.get_option("--device")->count() > 0 ? std::to_string(o.device) : "0-99";
        if (!parseBaudList(scanBauds, scanRequest.bauds, error) ||
            !parseDeviceList(scanDevices, scanRequest.devices, error)) {
            std::fprintf(stderr, "velko: scan: %s\n", error.c_str());
            return EXIT_USAGE;
        }
        if (scanRequest.bauds.empty()) scanRequest.bauds = defaultScanBauds();
        scanRequest.lines = o.lines;
        scanRequest.quiet = o.quiet;
        scanRequest.trace = o.trace;
        return runScan(scanRequest);
    }
    const Command command = upload->parsed()     ? Command::Upload
                            : download->parsed() ? Command::Download
                            : remove->parsed()   ? Command::Delete
                            : zero->parsed()     ? Command::ZeroCounters
                            : sync->parsed()     ? Command::Sync
                            : verify->parsed()   ? Command::Verify
                                                 : Command::CloseDay;
    try {
        return run(o, command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko: %s\n", e.what());
        return EXIT_USAGE;
    }
}
