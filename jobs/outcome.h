// How a job ended, as data that the tool and the service each present in their own way, and
// the words for the library's result codes that both show people.
#pragma once

#include <cstdint>
#include <string>

namespace velko::jobs {

// How a job ended, one code per cause: the tool exits with it (its own exit statuses add
// the command line's faults and runs whose lines failed differently), and the service's API
// reports it as a job's "exit".
enum OutcomeCode : int {
    OUTCOME_DONE = 0,
    OUTCOME_NOT_FOUND = 1,          // scan: no device answered on the lines that were scanned
    OUTCOME_BAD_INPUT = 3,          // an article file is unreadable or has faults; nothing was sent
    OUTCOME_REFUSED = 4,            // the device refused an article or did not delete a code
    OUTCOME_REPORT_NOT_SAVED = 5,   // close-day: the report could not be saved; counters untouched
    OUTCOME_RESET_UNCONFIRMED = 6,  // the device did not confirm zeroing its counters
    OUTCOME_NOT_WRITTEN = 7,        // the output file could not be written
    OUTCOME_MISMATCH = 8,           // verify: the device's table differs from the list
    OUTCOME_RESULT_BASE = 10,       // 10 + the library's result code (11 to 18)
    OUTCOME_INTERRUPTED = 130,      // stopped after the article on the line
};

// The state a job ends in, by its outcome: "done", "failed", or, stopped after an article,
// "cancelled" (asked by its caller) or "interrupted" (its program stopping).
const char* jobState(int outcome, bool programStopping);
// The library's result code an outcome carries: VELKO_OK when done, the code of a job that
// ended on one, and nothing for the other outcomes (-1).
int32_t resultCodeOf(int outcome);

// "VELKO_ERR_READ: the device did not answer within 20 s; check the cable, ..." for a result
// code of the library.
std::string resultLine(int32_t rc);
const char* resultName(int32_t rc);

// "2 min 4 s", "45 s", "1 h 3 min".
std::string formatDuration(double seconds);

}  // namespace velko::jobs
