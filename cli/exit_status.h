// The tool's exit statuses, one per cause, so that a script can act on the cause: a job's
// outcome code, and two that only the tool has.
#pragma once

#include <string>

#include "jobs/outcome.h"

namespace velko::cli {

enum ExitStatus : int {
    EXIT_DONE = jobs::OUTCOME_DONE,
    EXIT_NOT_FOUND = jobs::OUTCOME_NOT_FOUND,
    EXIT_USAGE = 2,  // the command line is wrong
    EXIT_BAD_INPUT = jobs::OUTCOME_BAD_INPUT,
    EXIT_REFUSED = jobs::OUTCOME_REFUSED,
    EXIT_REPORT_NOT_SAVED = jobs::OUTCOME_REPORT_NOT_SAVED,
    EXIT_RESET_UNCONFIRMED = jobs::OUTCOME_RESET_UNCONFIRMED,
    EXIT_OUTPUT_NOT_WRITTEN = jobs::OUTCOME_NOT_WRITTEN,
    EXIT_MISMATCH = jobs::OUTCOME_MISMATCH,
    EXIT_MIXED = 9,  // several lines failed, for different causes
    EXIT_RESULT_BASE = jobs::OUTCOME_RESULT_BASE,
    EXIT_INTERRUPTED = jobs::OUTCOME_INTERRUPTED,  // Ctrl-C
};

// The exit statuses for --help.
std::string exitStatusHelp();

}  // namespace velko::cli
