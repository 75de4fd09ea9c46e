// A sync's changes and a verification's differences as the tool prints them.
#pragma once

#include <string>
#include <vector>

#include "jobs/sync.h"

namespace velko::cli {

// The rows under their column heads, lined up; empty when there are none.
std::string differenceTable(const std::vector<jobs::DifferenceRow>& rows);

}  // namespace velko::cli
