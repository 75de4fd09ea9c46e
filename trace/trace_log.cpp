#include "trace/trace_log.h"

#include <sys/stat.h>

#include <cstring>

#include "trace/trace_file.h"

namespace velko {
namespace {

class Hold {
  public:
    explicit Hold(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
    ~Hold() { lock_.unlock(); }

  private:
    RecursiveLock& lock_;
};

// The C library's local time lives in one static buffer on some systems: links tracing on
// several threads take turns with it and copy it out before letting go.
struct tm localTime(time_t t) {
    static RecursiveLock lock;
    Hold hold(lock);
    const struct tm* local = std::localtime(&t);
    return local ? *local : tm{};
}

}  // namespace

TraceLog::TraceLog(const char* fileName, uint8_t flags) : flags_(flags) {
    if (fileName && std::strlen(fileName) < sizeof fileName_) {
        std::memcpy(fileName_, fileName, std::strlen(fileName) + 1);
    }
}

TraceLog::~TraceLog() {
    closeFile();
}

int TraceLog::openFile() {
    Hold hold(mutex_);
    if (fileName_[0] == '\0') return 0;
    if (stream_) return 1;
    stream_ = openTraceFile(fileName_, flags_ & UTF8_NAME);
    return stream_ ? 1 : 0;
}

int TraceLog::closeFile() {
    Hold hold(mutex_);
    if (!stream_) return 1;
    // A stream whose close failed is unusable either way: it is dropped, and the next message
    // opens the file anew.
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return closed ? 1 : 0;
}

std::string TraceLog::expand(const char* format, time_t (*now)(time_t*)) {
    // Sized to the format, whatever its length: the expansion only ever replaces the two
    // characters "%t" by the 19 of a time stamp.
    std::string out;
    out.reserve(std::strlen(format) + 32);
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 't') {
            const time_t t = now(nullptr);
            const struct tm at = localTime(t);
            char stamp[64];
            std::snprintf(stamp, sizeof stamp, "%.2d.%.2d.%.4d %.2d:%.2d:%.2d", at.tm_mday,
                          at.tm_mon + 1, at.tm_year + 1900, at.tm_hour, at.tm_min, at.tm_sec);
            out += stamp;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

int TraceLog::print(const char* format, ...) {
    va_list values;
    va_start(values, format);
    const int result = vprint(format, values);
    va_end(values);
    return result;
}

int TraceLog::vprint(const char* format, va_list values) {
    Hold hold(mutex_);
    if (openFile() != 1) return -1;
    const std::string expanded = expand(format, clock_);
    const int result = std::vfprintf(stream_, expanded.c_str(), values);
    // On the disk at once: the size below must count this message, and a trace is read most
    // after a crash.
    std::fflush(stream_);
    struct stat st;
    if (fstat(fileno(stream_), &st) == 0 && (long long)st.st_size > kMaxFileSize) {
        if (changeFile() != 0) return -1;
    }
    if ((flags_ & CLOSE_AFTER_EACH) && closeFile() != 1) return -1;
    return result;
}

int TraceLog::changeFile() {
    if (closeFile() != 1) return -1;
    const std::string backup = backupName(fileName_);
    const bool utf8 = flags_ & UTF8_NAME;
    if (traceFileExists(backup.c_str(), utf8) && !removeTraceFile(backup.c_str(), utf8)) return -1;
    if (!renameTraceFile(fileName_, backup.c_str(), utf8)) return -1;
    if (flags_ & NEW_FILE_LINE) print("%t: Utworzenie pliku logu: %s\n\n", fileName_);
    return 0;
}

std::string TraceLog::backupName(const std::string& fileName) {
    size_t at = 0;
    std::string drive;
    if (fileName.size() >= 2 && fileName[1] == ':') {
        drive = fileName.substr(0, 2);
        at = 2;
    }
    const size_t slash = fileName.find_last_of("/\\");
    const size_t dirEnd = slash == std::string::npos || slash < at ? at : slash + 1;
    const std::string dir = fileName.substr(at, dirEnd - at);
    const size_t dot = fileName.find_last_of('.');
    const size_t extStart = dot == std::string::npos || dot < dirEnd ? fileName.size() : dot;
    const std::string base = fileName.substr(dirEnd, extStart - dirEnd);
    std::string ext = fileName.substr(extStart);
    if (ext.size() >= 4) {
        ext[3] = '~';
    } else {
        ext += '~';
    }
    if (ext[0] != '.') ext = "." + ext;
    return drive + dir + base + ext;
}

}  // namespace velko
