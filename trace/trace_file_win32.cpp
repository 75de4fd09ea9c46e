// Windows: an ANSI name goes to the C library's narrow calls, as it always has; a UTF-8 name
// is widened and goes to the wide ones, so that it may hold letters the code page lacks.
#include <sys/stat.h>
#include <windows.h>

#include <string>

#include "trace/trace_file.h"

namespace velko {
namespace {

// Empty when `name` is empty or not valid UTF-8: no file has such a name.
std::wstring widened(const char* name) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, &wide[0], n);
    wide.resize(size_t(n - 1));
    return wide;
}

}  // namespace

std::FILE* openTraceFile(const char* name, bool utf8) {
    if (!utf8) return std::fopen(name, "a+");
    const std::wstring wide = widened(name);
    return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"a+");
}

bool traceFileExists(const char* name, bool utf8) {
    if (!utf8) {
        struct stat st;
        return stat(name, &st) == 0;
    }
    const std::wstring wide = widened(name);
    struct _stat st;
    return !wide.empty() && _wstat(wide.c_str(), &st) == 0;
}

bool removeTraceFile(const char* name, bool utf8) {
    if (!utf8) return std::remove(name) == 0;
    const std::wstring wide = widened(name);
    return !wide.empty() && _wremove(wide.c_str()) == 0;
}

bool renameTraceFile(const char* from, const char* to, bool utf8) {
    if (!utf8) return std::rename(from, to) == 0;
    const std::wstring wideFrom = widened(from), wideTo = widened(to);
    return !wideFrom.empty() && !wideTo.empty() && _wrename(wideFrom.c_str(), wideTo.c_str()) == 0;
}

}  // namespace velko
