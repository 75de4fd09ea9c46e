// What the tool needs of the operating system besides what its jobs need: its arguments, the
// terminal and Ctrl-C.
#pragma once

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace velko::cli {

// Binary standard input and output, so that CSV bytes pass unchanged (Windows would turn LF
// into CRLF); a Windows console also gets UTF-8 output and the escape sequences of the
// progress display.
void prepareConsole();

// The command line in UTF-8, as every name in the tool is. Windows hands `main` its arguments
// in the ANSI code page, where a letter the code page lacks is lost, so they are taken again
// from the wide command line; elsewhere they are `argv` as it is.
std::vector<std::string> utf8Arguments(int argc, char** argv);

bool isTerminal(std::FILE* stream);

// Ctrl-C (and on POSIX SIGTERM) from now on asks the jobs to stop at the next article: the
// first one sets interrupted() and says so on standard error, the second ends the program at
// once with status 130.
void catchInterrupts();
bool interrupted();
// Set by the first interrupt: the stop that the tool hands its jobs.
const std::atomic<bool>& interruption();

}  // namespace velko::cli
