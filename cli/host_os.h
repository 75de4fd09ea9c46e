// What the tool needs of the operating system besides the line, the text codec and durable
// files: the terminal and the local time.
#pragma once

#include <cstdio>
#include <ctime>

namespace velko::cli {

// Binary standard input and output, so that CSV bytes pass unchanged (Windows would turn LF
// into CRLF); a Windows console also gets UTF-8 output and the escape sequences of the
// progress display.
void prepareConsole();

bool isTerminal(std::FILE* stream);

std::tm localTime(std::time_t when);

// Ctrl-C (and on POSIX SIGTERM) from now on asks the jobs to stop at the next article: the
// first one sets interrupted() and says so on standard error, the second ends the program at
// once with status 130.
void catchInterrupts();
bool interrupted();

}  // namespace velko::cli
