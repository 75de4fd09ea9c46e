#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "link/posix_baud.h"
#include "sim/serve_line.h"
#include "sim/wire_log.h"

namespace velko {
namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

// The line to the host: the pseudo-terminal's master, or the connected TCP client (-1 while
// none is connected).
class LineOutput : public DeviceModel::Output {
  public:
    LineOutput(int& fd, bool tcp, WireLog* log, uint32_t paceBaud)
        : fd_(fd), tcp_(tcp), log_(log), paceBaud_(paceBaud) {}
    void send(const Bytes& bytes, uint32_t delayMs) override {
        if (delayMs) usleep(useconds_t(delayMs) * 1000);
        pace(bytes.size());
        if (fd_ < 0) return;
        if (log_) log_->feed(bytes.data(), bytes.size());
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }
    // The line drops: a TCP client is disconnected; a terminal goes away under the host, and
    // the simulator ends.
    void drop() override {
        if (!tcp_) {
            stopping = 1;
        } else if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // With pacing, bytes take their wire time at the nominal rate, ten bits a byte, as on a
    // real line: a pseudo-terminal would deliver them at once.
    void pace(size_t bytes) const {
        if (paceBaud_) usleep(useconds_t(uint64_t(bytes) * 10000000 / paceBaud_));
    }

  private:
    int& fd_;
    bool tcp_;
    WireLog* log_;
    uint32_t paceBaud_;
};

// A listening socket on HOST (an IPv4 address or a name); the port it got, or -1.
int listenOn(const std::string& host, int port, int* listenFd) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return -1;
    sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    address.sin_port = htons(uint16_t(port));
    *listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(*listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof address;
    if (*listenFd < 0 || bind(*listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(*listenFd, 4) != 0 ||
        getsockname(*listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

}  // namespace

int serveLine(DeviceModel& device, const LineSettings& settings,
              const std::function<void(const std::string&)>& command) {
    const bool tcp = settings.tcpPort >= 0;
    int line = -1, slave = -1, listener = -1;
    std::string path;
    if (tcp) {
        const int port = listenOn(settings.tcpHost, settings.tcpPort, &listener);
        if (port < 0) {
            std::perror(("velko-sim: TCP on " + settings.tcpHost).c_str());
            return 1;
        }
        path = "tcp://" + settings.tcpHost + ":" + std::to_string(port);
    } else {
        line = posix_openpt(O_RDWR | O_NOCTTY);
        if (line < 0 || grantpt(line) != 0 || unlockpt(line) != 0) {
            std::perror("velko-sim: pseudo-terminal");
            return 1;
        }
        path = ptsname(line);
        // Holding the terminal open keeps the master readable between the host's jobs.
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (slave < 0 || tcgetattr(slave, &tio) != 0) {
            std::perror("velko-sim: terminal");
            return 1;
        }
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    if (!settings.link.empty()) {
        unlink(settings.link.c_str());
        if (symlink(path.c_str(), settings.link.c_str()) != 0) {
            std::perror("velko-sim: link");
            return 1;
        }
    }
    struct sigaction stop {};
    stop.sa_handler = onSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    // The stop signals are let in only while waiting for the line: one that came between the
    // check of `stopping` and the wait would leave the wait without an end.
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    // Started in the background of a terminal, reading it fails instead of stopping us; a
    // client gone while we answer fails the write instead of ending us.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    WireLog hostLog(stderr, "host>device"), deviceLog(stderr, "device>host");
    LineOutput out(line, tcp, settings.log ? &deviceLog : nullptr, settings.paceBaud);
    unsigned char buf[256];
    std::string input;
    pollfd watch[3] = {{line, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
    while (!stopping) {
        watch[0].fd = line;
        if (ppoll(watch, 3, nullptr, &waiting) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (line >= 0 && watch[0].fd == line && watch[0].revents) {
            const ssize_t n = read(line, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0 && !tcp) break;
            if (n <= 0) {  // the client went away: wait for the next
                close(line);
                line = -1;
                continue;
            }
            // A pseudo-terminal carries the rate the host set but delivers at any rate; a real
            // line at another rate than the device's turns every byte into noise.
            if (settings.strictBaud && !tcp) {
                const uint32_t rate = terminalBaud(slave);
                if (rate != settings.strictBaud) {
                    if (settings.log)
                        hostLog.line(std::to_string(n) + " byte(s) at " + std::to_string(rate) +
                                     " baud, not heard");
                    continue;
                }
            }
            out.pace(size_t(n));  // the host's bytes arrive no faster than the wire carries them
            if (settings.log) hostLog.feed(buf, size_t(n));
            for (ssize_t i = 0; i < n && !stopping && line >= 0; ++i) device.feed(buf[i], out);
        }
        if (watch[2].revents) {
            // One host at a time, as on a serial line: a new connection takes the line over
            // from one its host left behind.
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                if (line >= 0) close(line);
                line = client;
            }
        }
        if (watch[1].revents) {
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) watch[1].fd = -1;  // no more sales: serve the line alone
            input.append(reinterpret_cast<char*>(buf), size_t(n > 0 ? n : 0));
            for (size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1))
                command(input.substr(0, end));
        }
    }
    if (!settings.link.empty()) unlink(settings.link.c_str());
    for (int fd : {slave, line, listener}) {
        if (fd >= 0) close(fd);
    }
    return 0;
}

}  // namespace velko
