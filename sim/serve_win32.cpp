#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/serve_line.h"
#include "sim/wire_log.h"

namespace velko {
namespace {

// The connected host (INVALID_SOCKET while none), and the device's answers to it.
class LineOutput : public DeviceModel::Output {
  public:
    LineOutput(SOCKET& client, WireLog* log, uint32_t paceBaud)
        : client_(client), log_(log), paceBaud_(paceBaud) {}
    void send(const Bytes& bytes, uint32_t delayMs) override {
        if (delayMs) Sleep(delayMs);
        pace(bytes.size());
        if (client_ == INVALID_SOCKET) return;
        if (log_) log_->feed(bytes.data(), bytes.size());
        for (size_t done = 0; done < bytes.size();) {
            const int n = ::send(client_, reinterpret_cast<const char*>(bytes.data()) + done,
                                 int(bytes.size() - done), 0);
            if (n <= 0) return;
            done += size_t(n);
        }
    }
    // The line drops: the host is disconnected, and the next one may connect.
    void drop() override {
        if (client_ != INVALID_SOCKET) closesocket(client_);
        client_ = INVALID_SOCKET;
    }
    // Bytes take their wire time at the nominal rate, ten bits a byte, as on a real line.
    void pace(size_t bytes) const {
        if (paceBaud_) Sleep(DWORD(uint64_t(bytes) * 10000 / paceBaud_));
    }

  private:
    SOCKET& client_;
    WireLog* log_;
    uint32_t paceBaud_;
};

void say(const std::string& what) {
    std::fprintf(stderr, "velko-sim: %s (error %d)\n", what.c_str(), WSAGetLastError());
}

}  // namespace

int serveLine(DeviceModel& device, const LineSettings& settings,
              const std::function<void(const std::string&)>& command) {
    if (settings.tcpPort < 0 || !settings.link.empty() || settings.strictBaud) {
        std::fprintf(stderr,
                     "velko-sim: on Windows the device is served on TCP: give --tcp [HOST:]PORT "
                     "(--link and --strict-baud are for terminals)\n");
        return 1;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "velko-sim: Windows sockets would not start\n");
        return 1;
    }
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(settings.tcpHost.c_str(), nullptr, &hints, &found) != 0 || !found) {
        say("TCP on " + settings.tcpHost + ": no such address");
        return 1;
    }
    sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    address.sin_port = htons(uint16_t(settings.tcpPort));
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // A port another program holds is a fault, not a port to share.
    const BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    int length = sizeof address;
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        say("TCP on " + settings.tcpHost + ":" + std::to_string(settings.tcpPort));
        return 1;
    }
    std::printf("tcp://%s:%d\n", settings.tcpHost.c_str(), ntohs(address.sin_port));
    std::fflush(stdout);

    // Sales come on standard input beside the line; the device takes them between the host's
    // bytes. (The thread ends with the program: interrupted, velko-sim has nothing to save.)
    auto deviceLock = std::make_shared<std::mutex>();
    std::thread([deviceLock, &device, command] {
        for (std::string text; std::getline(std::cin, text);) {
            if (!text.empty() && text.back() == '\r') text.pop_back();
            std::lock_guard<std::mutex> hold(*deviceLock);
            command(text);
        }
    }).detach();

    WireLog hostLog(stderr, "host>device"), deviceLog(stderr, "device>host");
    SOCKET client = INVALID_SOCKET;
    LineOutput out(client, settings.log ? &deviceLog : nullptr, settings.paceBaud);
    char buf[256];
    for (;;) {
        WSAPOLLFD watch[2] = {{listener, POLLRDNORM, 0}, {client, POLLRDNORM, 0}};
        if (WSAPoll(watch, client == INVALID_SOCKET ? 1 : 2, -1) == SOCKET_ERROR) {
            say("waiting for the host");
            return 1;
        }
        if (client != INVALID_SOCKET && watch[1].revents) {
            const int n = recv(client, buf, sizeof buf, 0);
            if (n <= 0) {  // the host went away: wait for the next
                out.drop();
                continue;
            }
            out.pace(size_t(n));  // the host's bytes arrive no faster than the wire carries them
            if (settings.log) hostLog.feed(reinterpret_cast<uint8_t*>(buf), size_t(n));
            std::lock_guard<std::mutex> hold(*deviceLock);
            for (int i = 0; i < n && client != INVALID_SOCKET; ++i)
                device.feed(uint8_t(buf[i]), out);
        }
        if (watch[0].revents) {
            // One host at a time, as on a serial line: a new connection takes the line over.
            const SOCKET next = accept(listener, nullptr, nullptr);
            if (next != INVALID_SOCKET) {
                out.drop();
                client = next;
            }
        }
    }
}

}  // namespace velko
