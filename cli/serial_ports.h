// The serial lines this system has, for a search that is not told where to look.
#pragma once

#include <string>
#include <vector>

namespace velko::cli {

// The names of the system's serial lines, as --line takes them, in their natural order
// (ttyS2 before ttyS10, COM2 before COM10): on Linux /dev/ttyS* that are real ports, and
// /dev/ttyUSB* and /dev/ttyACM*; on Windows the COM ports the system lists.
std::vector<std::string> systemSerialLines();

}  // namespace velko::cli
