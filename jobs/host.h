// What the jobs need of the operating system besides the line: the serial lines it has, for a
// search that is not told where to look, and the local time, for the names of reports.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace velko::jobs {

// The names of the system's serial lines, as --line takes them, in their natural order
// (ttyS2 before ttyS10, COM2 before COM10): on Linux /dev/ttyS* that are real ports, and
// /dev/ttyUSB* and /dev/ttyACM*; on Windows the COM ports the system lists.
std::vector<std::string> systemSerialLines();

std::tm localTime(std::time_t when);

}  // namespace velko::jobs
