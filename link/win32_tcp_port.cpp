// A TCP line through Winsock, with the read time limits of a serial line as the POSIX one has.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "link/tcp_port.h"
#include "link/win32_message.h"

namespace velko {
namespace {

constexpr ULONGLONG kConnectMs = 5000;

// Winsock is started once per process, the first time a TCP line opens, and left running: a
// host that never names one never loads it.
bool winsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// Waits until `s` is ready to read (or, with `write`, to write) or `deadline` passes; no
// deadline (0) waits as long as it takes, unless `poll` asks to return at once. 1 ready, 0
// time is up, -1 failed.
int waitFor(SOCKET s, bool write, ULONGLONG deadline, bool poll = false) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed = set;
    timeval limit{};
    if (deadline) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return 0;
        limit.tv_sec = long((deadline - now) / 1000);
        limit.tv_usec = long((deadline - now) % 1000) * 1000;
    }
    const int n = select(0, write ? nullptr : &set, write ? &set : nullptr,
                         write ? &failed : nullptr, deadline || poll ? &limit : nullptr);
    if (n < 0 || (write && FD_ISSET(s, &failed))) return -1;
    return n > 0 ? 1 : 0;
}

class WinsockPort : public SocketPort {
  public:
    explicit WinsockPort(SOCKET s) : socket_(s) {}
    ~WinsockPort() override { closesocket(socket_); }

    bool read(void* buf, uint32_t count, uint32_t* got) override {
        *got = 0;
        const ULONGLONG deadline =
            timeouts_.readsAreLimited() ? GetTickCount64() + timeouts_.readLimitMs(count) : 0;
        auto* out = static_cast<char*>(buf);
        while (*got < count) {
            const int ready = waitFor(socket_, false, deadline);
            if (ready <= 0) return ready == 0;
            // Nothing to read once the socket said it was ready: the other end closed.
            const int n = recv(socket_, out + *got, int(count - *got), 0);
            if (n <= 0) return false;
            *got += uint32_t(n);
        }
        return true;
    }

    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        *written = 0;
        const auto* in = static_cast<const char*>(buf);
        while (*written < count) {
            const int n = send(socket_, in + *written, int(count - *written), 0);
            if (n <= 0) return false;
            *written += uint32_t(n);
        }
        return true;
    }

    bool discardInput() override {
        char scrap[256];
        // A peer that never stops talking is not waited out: 64 KiB at most.
        for (int reads = 0; reads < 256; ++reads) {
            const int ready = waitFor(socket_, false, 0, true);
            if (ready <= 0) return ready == 0;
            // Nothing to read once the socket said it was ready: the other end closed.
            if (recv(socket_, scrap, sizeof scrap, 0) <= 0) return false;
        }
        return true;
    }

  private:
    SOCKET socket_;
};

// A connect bounded by the deadline; the connected, blocking socket, or INVALID_SOCKET with
// the Winsock error in `error`.
SOCKET connectWithin(const addrinfo* a, ULONGLONG deadline, int* error) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return s;
    }
    u_long nonBlocking = 1;
    const bool started =
        ioctlsocket(s, FIONBIO, &nonBlocking) == 0 &&
        (connect(s, a->ai_addr, int(a->ai_addrlen)) == 0 || WSAGetLastError() == WSAEWOULDBLOCK);
    if (!started) {
        *error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    const int ready = waitFor(s, true, deadline);
    nonBlocking = 0;
    if (ready != 1 || ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        // The connect's own failure is the socket's error; none there is a time-out.
        int failure = 0;
        int length = sizeof failure;
        if (ready == 0) {
            *error = WSAETIMEDOUT;
        } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                              &length) == 0 &&
                   failure != 0) {
            *error = failure;
        } else {
            *error = WSAGetLastError();
        }
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace

std::unique_ptr<PortDevice> openTcpPort(const std::string& hostAndPort, std::string& why) {
    const std::string line = "tcp://" + hostAndPort;
    std::string host, service;
    if (!splitHostAndPort(hostAndPort, host, service)) {
        why = line + ": no port named (tcp://HOST:PORT)";
        return nullptr;
    }
    if (!winsockReady()) {
        why = line + ": the network (Winsock) could not be started";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        const int lookup = WSAGetLastError();
        if (lookup == WSAHOST_NOT_FOUND || lookup == WSANO_DATA || lookup == WSATRY_AGAIN ||
            lookup == WSANO_RECOVERY)
            why = line + ": host not found";
        else if (lookup == WSATYPE_NOT_FOUND)
            why = line + ": " + service + " is not a port number";
        else
            why = line + ": " + systemMessage(static_cast<unsigned long>(lookup));
        return nullptr;
    }
    const ULONGLONG deadline = GetTickCount64() + kConnectMs;
    SOCKET s = INVALID_SOCKET;
    int error = WSAETIMEDOUT;
    for (const addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next)
        s = connectWithin(a, deadline, &error);
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        if (error == WSAECONNREFUSED)
            why = line + ": connection refused";
        else if (error == WSAETIMEDOUT)
            why = line + ": no answer within " + std::to_string(kConnectMs / 1000) + " seconds";
        else
            why = line + ": " + systemMessage(static_cast<unsigned long>(error));
        return nullptr;
    }
    // Every frame waits for its acknowledgement: small writes must leave at once.
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return std::unique_ptr<PortDevice>(new WinsockPort(s));
}

}  // namespace velko
