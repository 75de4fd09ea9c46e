// What the service needs of the operating system besides the line: UTC time, a fresh
// directory, and being told to stop. One implementation per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace velko::http {

std::tm utcTime(std::time_t when);
// "2026-12-09T14:09:18Z"
inline std::string utcText(std::time_t when) {
    const std::tm t = utcTime(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
    return text;
}

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
inline std::FILE*& logFile() {
    static std::FILE* log = nullptr;
    return log;
}
inline std::FILE* news() {
    return logFile() ? logFile() : stdout;
}
inline std::FILE* errors() {
    return logFile() ? logFile() : stderr;
}
inline void sayInto(std::FILE* log) {
    logFile() = log;
}

// The listening socket for this program alone: a second program on the same port fails to
// bind instead of sharing it, and answers leave without waiting for the peer's acknowledgement
// of the last (TCP_NODELAY; the connections accepted on it inherit it).
void listenAlone(intptr_t socket);

// A connection's socket, for the HTTP server's own reading and writing. Waits sleep in the
// kernel: 1 ready, 0 the time ran out, -1 the socket failed.
int waitSocket(intptr_t socket, bool forWriting, int milliseconds);
long receiveSome(intptr_t socket, char* into, size_t size);
long sendSome(intptr_t socket, const char* from, size_t size);
bool socketAddress(intptr_t socket, bool peer, std::string& ip, int& port);
// Ends what waits on the connection (its reads see the end) without closing it yet.
void wakeConnection(intptr_t socket);
void closeConnection(intptr_t socket);

// Files and directories made from now on are for this account alone (0600, 0700).
void privateFiles();

// The machine's own name, as a Host header may give it.
std::string hostName();

// Before any thread starts: from now on the stop requests (SIGINT and SIGTERM; Ctrl-C, closing
// the console and the Windows service manager's stop) wake waitForStop() and nothing else.
void prepareStop();
void waitForStop();
void requestStop();

}  // namespace velko::http
