#include "cli/exit_status.h"

#include "device/results.h"

namespace velko::cli {

using namespace velko::files;
using namespace velko::jobs;

std::string exitStatusHelp() {
    std::string text =
        "Exit status:\n"
        "   0  done\n"
        "   1  scan: no device answered on the lines that could be scanned\n"
        "   2  the command line is wrong\n"
        "   3  an article file is unreadable or has faults: nothing was sent\n"
        "   4  the device refused an article, or did not delete a code\n"
        "   5  close-day: the report could not be saved; the counters were not touched\n"
        "   6  the device did not confirm zeroing its counters (they may not be zeroed)\n"
        "   7  the output file could not be written\n"
        "   8  verify: the device's table differs from the list\n"
        "   9  several lines failed, for different causes\n"
        " 130  interrupted (Ctrl-C): stopped after the article on the line\n";
    for (int32_t rc = 1; rc <= 8; ++rc) {
        text += "  " + std::to_string(EXIT_RESULT_BASE + rc) + "  " + resultText(rc).name + ": " +
                resultText(rc).meaning + "\n";
    }
    return text;
}

}  // namespace velko::cli
