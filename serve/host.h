// What the service needs of the operating system besides the line: UTC time, a fresh
// directory, and being told to stop. One implementation per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace velko::serve {

std::tm utcTime(std::time_t when);

// A new empty directory named PREFIX followed by random characters in the system's temporary
// directory; empty when none could be made.
std::string freshDirectory(const std::string& prefix);

// The directory for this process alone, while the lock lives: a file in it held exclusively.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& dir);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool held() const { return held_; }

  private:
    intptr_t handle_ = -1;
    bool held_ = false;
};

// Where the service says what it does (standard output) and what goes wrong (standard error);
// a Windows service, which has neither, sets its log for both.
std::FILE* news();
std::FILE* errors();
void sayInto(std::FILE* log);

// Before any thread starts: from now on the stop requests (SIGINT and SIGTERM; Ctrl-C, closing
// the console and the Windows service manager's stop) wake waitForStop() and nothing else.
void prepareStop();
void waitForStop();
void requestStop();

}  // namespace velko::serve
