// What the service needs of the operating system besides the line: UTC time, a fresh
// directory, and being told to stop. One implementation per platform.
#pragma once

#include <ctime>
#include <string>

namespace velko::serve {

std::tm utcTime(std::time_t when);

// A new empty directory named PREFIX followed by random characters in the system's temporary
// directory; empty when none could be made.
std::string freshDirectory(const std::string& prefix);

// Before any thread starts: from now on the stop requests (SIGINT and SIGTERM; Ctrl-C, closing
// the console and the Windows service manager's stop) wake waitForStop() and nothing else.
void prepareStop();
void waitForStop();
void requestStop();

}  // namespace velko::serve
