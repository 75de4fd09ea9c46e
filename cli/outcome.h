// What the tool tells people when something fails, and the exit statuses that tell scripts.
#pragma once

#include <cstdint>
#include <string>

namespace velko::cli {

// Exit statuses, one per cause, so that a script can act on the cause.
enum ExitStatus : int {
    EXIT_DONE = 0,
    EXIT_NOT_FOUND = 1,         // scan: no device answered on the lines that were scanned (as grep)
    EXIT_USAGE = 2,             // the command line is wrong
    EXIT_BAD_INPUT = 3,         // an article file is unreadable or has faults; nothing was sent
    EXIT_REFUSED = 4,           // the device refused an article or did not delete a code
    EXIT_REPORT_NOT_SAVED = 5,  // close-day: the report could not be saved; counters untouched
    EXIT_RESET_UNCONFIRMED = 6,  // the device did not confirm zeroing its counters
    EXIT_OUTPUT_NOT_WRITTEN = 7,
    EXIT_MISMATCH = 8,       // verify: the device's table differs from the list
    EXIT_MIXED = 9,          // several lines failed, for different causes
    EXIT_RESULT_BASE = 10,   // 10 + the library's result code (11 to 18)
    EXIT_INTERRUPTED = 130,  // Ctrl-C: stopped after the article on the line
};

// The exit statuses for --help.
std::string exitStatusHelp();

// "VELKO_ERR_READ: the device did not answer within 20 s; check the cable, ..." for a result
// code of the library.
std::string resultLine(int32_t rc);
const char* resultName(int32_t rc);

// "2 min 4 s", "45 s", "1 h 3 min".
std::string formatDuration(double seconds);

}  // namespace velko::cli
