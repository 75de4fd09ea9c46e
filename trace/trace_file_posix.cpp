// POSIX: a name is bytes, whatever `utf8` says.
#include <sys/stat.h>

#include "trace/trace_file.h"

namespace velko {

std::FILE* openTraceFile(const char* name, bool) {
    return std::fopen(name, "a+");
}

bool traceFileExists(const char* name, bool) {
    struct stat st;
    return stat(name, &st) == 0;
}

bool removeTraceFile(const char* name, bool) {
    return std::remove(name) == 0;
}

bool renameTraceFile(const char* from, const char* to, bool) {
    return std::rename(from, to) == 0;
}

}  // namespace velko
