#include "cli/scan_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "cli/exit_status.h"
#include "cli/host_os.h"
#include "cli/progress_display.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "jobs/host.h"
#include "jobs/jobs.h"
#include "jobs/outcome.h"
#include "trace/trace_log.h"

namespace velko::cli {

using namespace velko::files;
using namespace velko::jobs;
namespace {

void printFinds(const std::vector<std::string>& lines, const std::vector<LineScan>& results) {
    size_t width = 4;
    bool any = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (results[i].finds.empty()) continue;
        any = true;
        width = std::max(width, lines[i].size());
    }
    if (!any) return;
    // TRANSLATORS: the headings of what a scan found: the line, its rate, the device's number
    // and the text the device answered its address with.
    const std::string line = _("line");
    width = std::max(width, line.size());
    std::printf("%-*s  %6s  %6s  %s\n", int(width), line.c_str(), _("baud"), _("device"),
                _("session text"));
    for (size_t i = 0; i < lines.size(); ++i) {
        for (const ScanFind& f : results[i].finds) {
            std::printf("%-*s  %6s  %6d  \"%s\"\n", int(width), lines[i].c_str(),
                        isTcp(lines[i]) ? "-" : std::to_string(f.baud).c_str(), f.device,
                        f.session.c_str());
        }
    }
    std::fflush(stdout);
}

}  // namespace

int runScan(const ScanRequest& request) {
    std::vector<std::string> lines = request.lines;
    if (lines.empty()) {
        lines = systemSerialLines();
        if (lines.empty()) {
            std::fprintf(stderr, "%s",
                         _("velko: this system lists no serial lines; name one with --line\n"));
            return EXIT_NOT_FOUND;
        }
    }
    const bool several = lines.size() > 1;
    std::vector<std::string> traces(lines.size(), request.trace);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (several && !request.trace.empty()) traces[i] = perLineName(request.trace, int(i) + 1);
        if (traces[i].empty() || TraceLog(traces[i].c_str(), TraceLog::UTF8_NAME).openFile())
            continue;
        std::fprintf(stderr, _("velko: the trace file %s cannot be opened for writing\n"),
                     traces[i].c_str());
        return EXIT_OUTPUT_NOT_WRITTEN;
    }

    if (!request.quiet) {
        // Said before the first address goes out: a whole search takes minutes, nearly all of
        // it the waits for answers that never come.
        double seconds = 0;
        for (const std::string& line : lines)
            seconds = std::max(seconds, worstCaseSeconds(line, request));
        const size_t rates = request.bauds.size(), numbers = request.devices.size();
        const std::string scanned =
            several ? formatted(ngettext("%zu line at the same time", "%zu lines at the same time",
                                         lines.size()),
                                lines.size())
                    : formatted(ngettext("%zu line", "%zu lines", lines.size()), lines.size());
        std::fprintf(
            stderr,
            _("velko: scanning %s at %s for %s: at most about %s, %.2f s for each "
              "address nobody answers\n"),
            scanned.c_str(), formatted(ngettext("%zu rate", "%zu rates", rates), rates).c_str(),
            formatted(ngettext("%zu device number", "%zu device numbers", numbers), numbers)
                .c_str(),
            formatDuration(std::ceil(seconds)).c_str(),
            unansweredMs(request.bauds.front(), request.answerWaitMs) / 1000);
    }

    ProgressDisplay progress(!request.quiet && isTerminal(stderr) ? stderr : nullptr, lines);
    std::vector<LineScan> results(lines.size());
    catchInterrupts();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < lines.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = scanLine(lines[i], request, traces[i], progress, i, &interruption());
        });
    }
    for (auto& t : threads) t.join();

    printFinds(lines, results);
    bool found = false, scanned = false, stopped = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const LineScan& r = results[i];
        found = found || !r.finds.empty();
        scanned = scanned || r.opened;
        stopped = stopped || r.interrupted;
        for (const std::string& note : r.notes)
            std::fprintf(stderr, "velko: %s: %s\n", lines[i].c_str(), note.c_str());
        if (r.unclearCount > 0) {
            std::fprintf(stderr, "velko: %s: %s", lines[i].c_str(), r.unclear.c_str());
            if (r.unclearCount > 1)
                std::fprintf(stderr,
                             ngettext(", and %ld more address so", ", and %ld more addresses so",
                                      r.unclearCount - 1),
                             r.unclearCount - 1);
            std::fprintf(stderr, "%s", _("; check for noise on the line\n"));
        }
        if (r.busy && !r.opened) {
            std::fprintf(stderr, _("velko: %s: busy, not scanned: %s\n"), lines[i].c_str(),
                         r.failure.c_str());
        } else if (!r.failure.empty()) {
            if (r.opened) {
                std::fprintf(
                    stderr,
                    ngettext("velko: %s: stopped after %ld of %ld address: %s\n",
                             "velko: %s: stopped after %ld of %ld addresses: %s\n", r.planned),
                    lines[i].c_str(), r.addressed, r.planned, r.failure.c_str());
            } else {
                std::fprintf(stderr, _("velko: %s: not scanned: %s\n"), lines[i].c_str(),
                             r.failure.c_str());
            }
        } else if (r.finds.empty() && !r.interrupted && !request.quiet) {
            std::fprintf(stderr,
                         ngettext("%s: no device answered any of %ld address\n",
                                  "%s: no device answered any of %ld addresses\n", r.addressed),
                         lines[i].c_str(), r.addressed);
        }
    }
    if (stopped) return EXIT_INTERRUPTED;
    if (found) return EXIT_DONE;
    // Not a line could be opened: that is the answer, not an empty search.
    if (!scanned) return EXIT_RESULT_BASE + VELKO_ERR_OPEN;
    return EXIT_NOT_FOUND;
}

}  // namespace velko::cli
