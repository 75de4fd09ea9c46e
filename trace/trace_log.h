// A diagnostic trace file: time-stamped messages appended to a file that is changed for a
// fresh one, keeping one backup, once it has grown past 100 000 000 bytes. Shareable between
// threads and links; every operation holds the sink's lock from start to end.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "trace/recursive_lock.h"

namespace velko {

class TraceLog {
  public:
    enum : uint8_t {
        CLOSE_AFTER_EACH = 1,  // close the file after every message
        NEW_FILE_LINE = 2,     // start a changed file with a line naming it
        UTF8_NAME = 4,         // the name is UTF-8, not the Windows ANSI code page
    };
    static constexpr long long kMaxFileSize = 100000000;

    // An empty name, or one longer than 128 characters, leaves the sink without a file.
    TraceLog(const char* fileName, uint8_t flags);
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // 1 when the file is open afterwards, 0 when not.
    int openFile();
    // 1 when no file is open afterwards, 0 when closing failed.
    int closeFile();
    // Writes one message: "%t" stands for the local date and time, everything else is printf.
    // The count of characters written, or -1 when the message or the change of file failed.
    // ("%t" is no printf conversion, so the compiler cannot check these formats.)
    int print(const char* format, ...);
    int vprint(const char* format, va_list values);

    bool isOpen() const { return stream_ != nullptr; }

    // The backup's name: the extension's fourth character, or an appended one, becomes '~'.
    static std::string backupName(const std::string& fileName);
    // "%t" replaced by the date and time of `now`, as "07.12.2026 13:05:09".
    static std::string expand(const char* format, time_t (*now)(time_t*) = std::time);

    // For tests: where "%t" takes the time from.
    void setClock(time_t (*now)(time_t*)) { clock_ = now; }

  private:
    int changeFile();

    uint8_t flags_;
    RecursiveLock mutex_;
    char fileName_[129] = {};
    FILE* stream_ = nullptr;
    time_t (*clock_)(time_t*) = std::time;
};

}  // namespace velko
