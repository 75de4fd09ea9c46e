// The trace's few dealings with files, one implementation per platform. A name is handed to
// the system as the caller wrote it, in the ANSI code page on Windows as the library's exports
// receive it, unless `utf8` says it is UTF-8 (the tool's names, taken from the wide command
// line). On POSIX a name is bytes either way.
#pragma once

#include <cstdio>

namespace velko {

// Opened to append and to read ("a+"); null when it cannot be.
std::FILE* openTraceFile(const char* name, bool utf8);
bool traceFileExists(const char* name, bool utf8);
// True when done.
bool removeTraceFile(const char* name, bool utf8);
bool renameTraceFile(const char* from, const char* to, bool utf8);

}  // namespace velko
