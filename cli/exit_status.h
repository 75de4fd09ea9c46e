// The tool's exit statuses, one per cause, so that a script can act on the cause: a job's
// outcome code, and two that only the tool has.
#pragma once

#include <string>

#include "jobs/outcome.h"

namespace velko::cli {

enum ExitStatus : int {
    EXIT_DONE = OUTCOME_DONE,
    EXIT_NOT_FOUND = OUTCOME_NOT_FOUND,
    EXIT_USAGE = 2,  // the command line is wrong
    EXIT_BAD_INPUT = OUTCOME_BAD_INPUT,
    EXIT_REFUSED = OUTCOME_REFUSED,
    EXIT_REPORT_NOT_SAVED = OUTCOME_REPORT_NOT_SAVED,
    EXIT_RESET_UNCONFIRMED = OUTCOME_RESET_UNCONFIRMED,
    EXIT_OUTPUT_NOT_WRITTEN = OUTCOME_NOT_WRITTEN,
    EXIT_MISMATCH = OUTCOME_MISMATCH,
    EXIT_MIXED = 9,  // several lines failed, for different causes
    EXIT_RESULT_BASE = OUTCOME_RESULT_BASE,
    EXIT_INTERRUPTED = OUTCOME_INTERRUPTED,  // Ctrl-C
};

// The exit statuses for --help.
std::string exitStatusHelp();

}  // namespace velko::cli
