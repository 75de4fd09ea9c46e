// velko scan as the tool runs it: what answered on standard output, the rest on standard error.
#pragma once

#include "jobs/scan.h"

namespace velko::cli {

// Searches every line of `request` at once; the exit status.
int runScan(const jobs::ScanRequest& request);

}  // namespace velko::cli
