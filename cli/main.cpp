// velko: uploads price lists to VELKO devices, reads their sales and closes the day, on one
// line or on several at once.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "cli/article_file.h"
#include "cli/host_os.h"
#include "cli/jobs.h"
#include "cli/outcome.h"
#include "cli/validate.h"
#include "device/floor.h"
#include "link/platform.h"
#include "link/velko_comm.h"

namespace velko::cli {
namespace {

struct Options {
    std::vector<std::string> lines;
    int device = 1;
    uint32_t baud = 9600;
    std::string trace;
    bool quiet = false;
    std::string file;  // upload FILE, delete --from FILE
    std::vector<std::string> codes;
    bool dryRun = false;
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
        error = (text.empty() ? "device " + std::to_string(line.device) : text) + ": " +
                resultLine(VELKO_ERR_ADDRESS);
        return false;
    }
    return true;
}

// Reads and checks an article file; prints every fault, and warnings. False when there was a
// fault.
bool loadArticles(const std::string& path, RowUse use, std::vector<ArticleRecord>& records) {
    std::vector<Fault> faults, warnings;
    loadArticleFile(path, use, *makeTextCodec(), records, faults, &warnings);
    for (const Fault& w : warnings)
        std::fprintf(stderr, "velko: warning: %s\n", describe(w).c_str());
    // In the order of the file, whichever check found them.
    std::stable_sort(faults.begin(), faults.end(),
                     [](const Fault& a, const Fault& b) { return a.row < b.row; });
    for (const Fault& f : faults) std::fprintf(stderr, "velko: %s\n", describe(f).c_str());
    if (!faults.empty()) {
        std::fprintf(stderr, "velko: %zu fault(s); nothing was sent\n", faults.size());
    }
    return faults.empty();
}

bool codesFromArguments(const std::vector<std::string>& codes,
                        std::vector<ArticleRecord>& records) {
    bool good = true;
    for (const std::string& code : codes) {
        const std::string problem = codeProblem(code);
        if (!problem.empty()) {
            std::fprintf(stderr, "velko: '%s' %s\n", code.c_str(), problem.c_str());
            good = false;
            continue;
        }
        ArticleRecord r{};
        code.copy(r.code, sizeof r.code - 1);
        records.push_back(r);
    }
    if (!good) std::fprintf(stderr, "velko: nothing was sent\n");
    return good;
}

void printDryRun(const Options& o, const std::vector<LineSpec>& lines,
                 const std::vector<std::string>& labels) {
    std::string name;
    ArticleCommand frame;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::printf("would send to device %d on %s at %u baud:\n", lines[i].device,
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
    std::printf("%zu article(s) checked; nothing was sent (--dry-run)\n",
                o.request.articles.size());
    std::printf("%zu articles: about %s at %u baud\n", o.request.articles.size(),
                formatDuration(ms / 1000).c_str(), o.baud);
}

// The exit status of the whole run: interrupted, the common cause of the failures, or
// EXIT_MIXED.
int overallStatus(const std::vector<Outcome>& outcomes) {
    int status = EXIT_DONE;
    for (const Outcome& o : outcomes) {
        if (o.exitStatus == EXIT_INTERRUPTED) return EXIT_INTERRUPTED;
    }
    for (const Outcome& o : outcomes) {
        if (o.exitStatus == EXIT_DONE) continue;
        status = status == EXIT_DONE || status == o.exitStatus ? o.exitStatus : EXIT_MIXED;
    }
    return status;
}

void printSummary(const std::vector<LineSpec>& lines, const std::vector<std::string>& labels,
                  const std::vector<Outcome>& outcomes) {
    size_t width = 4;
    for (const auto& label : labels) width = std::max(width, label.size());
    std::fprintf(stderr, "\n%-*s  %-6s  %-16s  %-40s  %s\n", int(width), "line", "device",
                 "outcome", "counts", "time");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::fprintf(stderr, "%-*s  %-6d  %-16s  %-40s  %.1f s\n", int(width), labels[i].c_str(),
                     lines[i].device, outcomes[i].state.c_str(), outcomes[i].counts.c_str(),
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
        std::fprintf(stderr,
                     "velko: a download from several lines needs -o FILE (one file per line)\n");
        return EXIT_USAGE;
    }

    o.request.command = command;
    o.request.baud = o.baud;
    o.request.trace = o.trace;
    if (command == Command::Upload && !loadArticles(o.file, RowUse::Upload, o.request.articles))
        return EXIT_BAD_INPUT;
    if (command == Command::Delete &&
        !(o.file.empty() ? codesFromArguments(o.codes, o.request.articles)
                         : loadArticles(o.file, RowUse::Codes, o.request.articles)))
        return EXIT_BAD_INPUT;
    if (command == Command::Upload && o.request.articles.empty()) {
        std::fprintf(stderr, "velko: %s has no articles; nothing was sent\n", o.file.c_str());
        return EXIT_DONE;
    }
    if (o.dryRun) {
        printDryRun(o, lines, labels);
        return EXIT_DONE;
    }

    Progress progress(!o.quiet && isTerminal(stderr) ? stderr : nullptr, labels);
    std::vector<Outcome> outcomes(lines.size());
    std::vector<JobRequest> requests(lines.size(), o.request);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (several && !o.trace.empty()) requests[i].trace = perLineName(o.trace, int(i) + 1);
        if (several && command == Command::Download)
            requests[i].output = perLineName(o.request.output, int(i) + 1);
    }
    for (const JobRequest& r : requests) {
        if (r.trace.empty() || TraceLog(r.trace.c_str(), TraceLog::UTF8_NAME).openFile()) continue;
        std::fprintf(stderr, "velko: the trace file %s cannot be opened for writing\n",
                     r.trace.c_str());
        return EXIT_OUTPUT_NOT_WRITTEN;
    }
    if (command == Command::CloseDay) {
        if (const int removed = removeLeftoverReports(o.request.reportDir)) {
            std::fprintf(stderr,
                         "velko: removed %d unfinished report file(s) of an earlier close of day\n",
                         removed);
        }
    }

    // One thread per line; the devices on one line (a bus, or a device server's one port)
    // take turns on it in the order given.
    catchInterrupts();
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
        if (out.exitStatus != EXIT_DONE) {
            std::fprintf(stderr, "velko: %s%s\n", where.c_str(), out.message.c_str());
        } else if (!o.quiet) {
            std::fprintf(stderr, "%s%s\n", where.c_str(), out.message.c_str());
        }
    }
    if (several && !o.quiet) printSummary(lines, labels, outcomes);
    return overallStatus(outcomes);
}

}  // namespace
}  // namespace velko::cli

int main(int argc, char** argv) {
    using namespace velko::cli;
    Options o;
    prepareConsole();
    CLI::App app{
        "velko: uploads price lists to VELKO devices, reads their sales and closes the "
        "day, on one serial line or on several at once."};
    app.fallthrough();
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
                           : "'" + text + "' is not a baud rate (a whole number above 0)";
            },
            "", "baud"))
        ->type_name("N");
    app.add_option("--trace", o.trace,
                   "append a time-stamped trace of every step to FILE; with several lines one "
                   "file per line, FILE-1, FILE-2... (before the extension), in --line order")
        ->type_name("FILE");
    app.add_flag("--quiet", o.quiet, "print only errors");

    auto* upload = app.add_subcommand("upload", "upload the articles of a CSV or JSON file");
    upload->add_option("FILE", o.file, "CSV or JSON file, - for CSV on standard input")
        ->required()
        ->type_name("FILE");
    upload->add_flag("--continue-on-refusal", o.request.continueOnRefusal,
                     "go on after an article the device refuses");
    upload->add_flag("--skip-second-preparation", o.request.skipSecondPreparation,
                     "leave out the second preparatory command");
    upload->add_flag("--dry-run", o.dryRun, "check the file and print what would be sent");

    auto* download = app.add_subcommand("download", "download every article with its counters");
    download
        ->add_option("-o,--output", o.request.output,
                     "CSV or JSON file (default: CSV on standard output); with several "
                     "lines one file per line, FILE-1, FILE-2...")
        ->type_name("FILE");

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
    app.footer(exitStatusHelp());

    std::vector<std::string> arguments = utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& a : arguments) pointers.push_back(&a[0]);
    try {
        app.parse(int(pointers.size()), pointers.data());
        if (remove->parsed() && o.codes.empty() && o.file.empty())
            throw CLI::RequiredError("CODE or --from");
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? EXIT_DONE : EXIT_USAGE;
    }
    const Command command = upload->parsed()     ? Command::Upload
                            : download->parsed() ? Command::Download
                            : remove->parsed()   ? Command::Delete
                            : zero->parsed()     ? Command::ZeroCounters
                                                 : Command::CloseDay;
    try {
        return run(o, command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko: %s\n", e.what());
        return EXIT_USAGE;
    }
}
