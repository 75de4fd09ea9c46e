#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/host.h"

namespace velko::http {
namespace {
sigset_t stopSignals;
}

std::tm utcTime(std::time_t when) {
    std::tm t{};
    gmtime_r(&when, &t);
    return t;
}

std::string freshDirectory(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    return mkdtemp(&pattern[0]) ? pattern : "";
}

DirectoryLock::DirectoryLock(const std::string& dir) {
    const int fd = open((dir + "/velko.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    handle_ = fd;
    held_ = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

DirectoryLock::~DirectoryLock() {
    if (handle_ >= 0) close(int(handle_));
}

void listenAlone(intptr_t socket) {
    const int yes = 1;
    // SO_REUSEADDR alone: a restart binds while old connections linger, but no one else may
    // bind beside a live listener (that would take SO_REUSEPORT).
    setsockopt(int(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(int(socket), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

void privateFiles() {
    umask(077);
}

std::string hostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

void prepareStop() {
    // Blocked in every thread, they are taken by sigwait alone.
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void waitForStop() {
    int signal = 0;
    sigwait(&stopSignals, &signal);
}

void requestStop() {
    kill(getpid(), SIGTERM);
}

}  // namespace velko::http
