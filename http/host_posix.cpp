#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

int waitSocket(intptr_t socket, bool forWriting, int milliseconds) {
    pollfd p{int(socket), short(forWriting ? POLLOUT : POLLIN), 0};
    int n;
    do {
        n = poll(&p, 1, milliseconds);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

long receiveSome(intptr_t socket, char* into, size_t size) {
    ssize_t n;
    do {
        n = recv(int(socket), into, size, 0);
    } while (n < 0 && errno == EINTR);
    return long(n);
}

long sendSome(intptr_t socket, const char* from, size_t size) {
    ssize_t n;
    do {
        n = send(int(socket), from, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return long(n);
}

bool socketAddress(intptr_t socket, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if ((peer ? getpeername : getsockname)(int(socket), reinterpret_cast<sockaddr*>(&address),
                                           &length) != 0)
        return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    } else {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    }
    ip = text;
    return true;
}

void wakeConnection(intptr_t socket) {
    shutdown(int(socket), SHUT_RD);
}

void closeConnection(intptr_t socket) {
    shutdown(int(socket), SHUT_RDWR);
    close(int(socket));
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
