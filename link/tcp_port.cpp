#include "link/tcp_port.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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
    bool discardInput() override { return reader_.discard(true); }

  private:
    int fd_;
    LineReader reader_{fd_};
};

// A non-blocking connect, bounded by the deadline; the connected socket, or -1 with the errno
// value of the failure in `error`.
int connectWithin(const addrinfo* a, uint64_t deadline, int* error) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    for (;;) {
        const uint64_t now = monotonicMs();
        pollfd p{fd, POLLOUT, 0};
        const int ready = now < deadline ? ::poll(&p, 1, int(deadline - now)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        int failure = 0;
        socklen_t length = sizeof failure;
        if (ready < 0) {
            *error = errno;
        } else if (ready == 0) {
            *error = ETIMEDOUT;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
            *error = errno;
        } else if (failure != 0) {
            *error = failure;
        } else {
            return fd;
        }
        ::close(fd);
        return -1;
    }
}

// Why the connection to `line` failed, from the errno value of the last address tried.
std::string connectFailure(const std::string& line, int error) {
    switch (error) {
        case ECONNREFUSED:
            return line + ": connection refused";
        case ETIMEDOUT:
            return line + ": no answer within " + std::to_string(kConnectMs / 1000) + " seconds";
        default:
            return line + ": " + errorText(error);
    }
}

}  // namespace

std::unique_ptr<PortDevice> openTcpPort(const std::string& hostAndPort, std::string& why) {
    const std::string line = "tcp://" + hostAndPort;
    std::string host, service;
    if (!splitHostAndPort(hostAndPort, host, service)) {
        why = line + ": no port named (tcp://HOST:PORT)";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        switch (lookup) {
            case EAI_NONAME:
            case EAI_NODATA:
            case EAI_AGAIN:
            case EAI_FAIL:
            case EAI_ADDRFAMILY:
                why = line + ": host not found";
                break;
            case EAI_SERVICE:
                why = line + ": " + service + " is not a port number";
                break;
            case EAI_SYSTEM:
                why = line + ": " + errorText(errno);
                break;
            default:
                why = line + ": " + ::gai_strerror(lookup);
        }
        return nullptr;
    }
    const uint64_t deadline = monotonicMs() + kConnectMs;
    int fd = -1;
    int error = ETIMEDOUT;
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next)
        fd = connectWithin(a, deadline, &error);
    ::freeaddrinfo(found);
    if (fd < 0) {
        why = connectFailure(line, error);
        return nullptr;
    }
    // Every frame waits for its acknowledgement: small writes must leave at once, not wait
    // for the segment before them to be acknowledged.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::make_unique<TcpPort>(fd);
}

}  // namespace velko
