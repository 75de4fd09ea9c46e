#include "link/tcp_port.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/posix_io.h"

namespace velko {
namespace {

constexpr int kConnectMs = 5000;

class TcpPort : public SocketPort {
  public:
    explicit TcpPort(int fd) : fd_(fd) {}
    ~TcpPort() override { ::close(fd_); }

    bool read(void* buf, uint32_t count, uint32_t* got) override {
        return reader_.read(timeouts_, buf, count, got);
    }
    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        return writeAll(fd_, buf, count, written, true);
    }

  private:
    int fd_;
    LineReader reader_{fd_};
};

// A non-blocking connect, bounded by the deadline; the connected socket or -1.
int connectWithin(const addrinfo* a, uint64_t deadline) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) return -1;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    for (;;) {
        const uint64_t now = monotonicMs();
        pollfd p{fd, POLLOUT, 0};
        const int ready = now < deadline ? ::poll(&p, 1, int(deadline - now)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            return fd;
        ::close(fd);
        return -1;
    }
}

}  // namespace

std::unique_ptr<PortDevice> openTcpPort(const std::string& hostAndPort) {
    std::string host, service;
    if (!splitHostAndPort(hostAndPort, host, service)) return nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return nullptr;
    const uint64_t deadline = monotonicMs() + kConnectMs;
    int fd = -1;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) fd = connectWithin(a, deadline);
    ::freeaddrinfo(found);
    if (fd < 0) return nullptr;
    // Every frame waits for its acknowledgement: small writes must leave at once, not wait
    // for the segment before them to be acknowledged.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::make_unique<TcpPort>(fd);
}

}  // namespace velko
