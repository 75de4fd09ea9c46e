// velko-sim: a simulated VELKO device on a pseudo-terminal or a TCP port. Prints the line's
// path, then answers whatever opens it until it is interrupted. Sales can be rung up on standard
// input.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "files/validate.h"
#include "link/posix_baud.h"
#include "sim/device_model.h"
#include "sim/store_journal.h"
#include "sim/table_file.h"
#include "sim/wire_log.h"
#include "velko/velko.h"

namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

// The line to the host: the pseudo-terminal's master, or the connected TCP client (-1 while
// none is connected).
class LineOutput : public velko::DeviceModel::Output {
  public:
    LineOutput(int& fd, bool tcp, velko::WireLog* log, uint32_t paceBaud)
        : fd_(fd), tcp_(tcp), log_(log), paceBaud_(paceBaud) {}
    void send(const velko::Bytes& bytes, uint32_t delayMs) override {
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
    velko::WireLog* log_;
    uint32_t paceBaud_;
};

// A listening socket on the loopback address; the port it got, or -1.
int listenOnLoopback(int port, int* listenFd) {
    *listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(*listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    socklen_t length = sizeof address;
    if (*listenFd < 0 || bind(*listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(*listenFd, 4) != 0 ||
        getsockname(*listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

// One command from standard input: "sell CODE QUANTITY".
void command(const std::string& text, velko::DeviceModel& device) {
    std::istringstream in(text);
    std::string verb, code, quantityText, rest;
    in >> verb >> code >> quantityText >> rest;
    if (verb.empty()) return;
    int32_t quantity = 0;
    if (verb != "sell" || !rest.empty() || !velko::cli::parseAmount(quantityText, 3, &quantity)) {
        std::fprintf(stderr, "velko-sim: '%s': expected 'sell CODE QUANTITY'\n", text.c_str());
    } else if (!device.sell(code, quantity)) {
        std::fprintf(stderr, "velko-sim: no article %s to sell\n", code.c_str());
    } else {
        std::fprintf(stderr, "velko-sim: sold %s of %s\n", quantityText.c_str(), code.c_str());
    }
}

// "FRAME=KIND[:N]", KIND one of nak:N, never-ack, bad-crc, noise, cut, long, delay:MS,
// silent-after, drop; FRAME "*" for every frame.
bool addFault(const std::string& rule, velko::DeviceModel::Options& options) {
    const size_t eq = rule.rfind('=');
    if (eq == std::string::npos) return false;
    const std::string kind = rule.substr(eq + 1, rule.find(':', eq) - eq - 1);
    const size_t colon = rule.find(':', eq);
    const long value = colon == std::string::npos ? 0 : std::atol(rule.c_str() + colon + 1);
    velko::FrameFault& f = options.faults[rule.substr(0, eq)];
    if (kind == "nak") {
        f.naks = int(value);
    } else if (kind == "never-ack") {
        f.neverAck = true;
    } else if (kind == "bad-crc") {
        f.badCrc = true;
    } else if (kind == "noise") {
        f.noise = {0xFF, 0x06, 'n', 'o', 'i', 's', 'e', 0x0D};
    } else if (kind == "cut") {
        f.cutReply = true;
    } else if (kind == "long") {
        f.longReply = true;
    } else if (kind == "delay") {
        f.delayMs = value;
    } else if (kind == "silent-after") {
        f.silentAfter = true;
    } else if (kind == "drop") {
        f.dropLine = true;
    } else {
        return false;
    }
    return true;
}

bool readListing(const std::string& file, velko::DeviceModel& device) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    int bad = 0;
    if (in && device.loadTable(text.str(), &bad)) return true;
    std::fprintf(stderr, "velko-sim: %s: cannot read the table (line %d)\n", file.c_str(), bad);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    velko::DeviceModel::Options options;
    std::string link, listing, store, seed;
    std::vector<std::string> replies, refused, faults;
    bool log = false;
    int tcpPort = -1;
    bool pace = false, strictBaud = false;
    uint32_t paceBaud = 9600;
    CLI::App app{
        "velko-sim: a simulated VELKO device on a pseudo-terminal. Prints the "
        "terminal's path and serves it until interrupted. While it runs, a line such as "
        "'sell 123 2.5' on standard input rings up a sale of that article."};
    app.set_version_flag("--version", std::string("velko-sim ") + VELKO_VERSION_STRING);
    app.add_option("--link", link, "also make PATH a symbolic link to the terminal");
    app.add_option("--tcp", tcpPort,
                   "serve raw TCP on this port of 127.0.0.1 instead of a terminal (0: any free "
                   "port) and print tcp://127.0.0.1:PORT; one host at a time, the newest")
        ->type_name("PORT");
    app.add_option("--device", options.address, "answer only this device number (default: any)");
    app.add_option("--answer", options.answer, "the answer to the address message")
        ->capture_default_str();
    app.add_option("--store", store,
                   "keep the PLU table in this JSON file, loaded at start; every change is "
                   "appended to FILE.journal and flushed to disk before the device answers, and "
                   "the file is rewritten atomically from time to time and when the simulator "
                   "ends, the journal then emptied");
    app.add_option("--seed", seed,
                   "start with the articles of this CSV or JSON file (velko's own formats, "
                   "counters included) when the store does not exist yet");
    app.add_option("--table", listing,
                   "start with the articles listed in FILE, one per line as the device lists "
                   "them: 0;123;ABC;1;12.50;1;3.500;43.75;");
    app.add_flag("--pace", pace,
                 "take the wire time of every byte both ways at --baud, as a real line does");
    app.add_option("--baud", paceBaud, "the nominal rate for --pace and --strict-baud")
        ->capture_default_str();
    app.add_flag("--strict-baud", strictBaud,
                 "hear the host only while it has set the terminal to --baud: what it sends at "
                 "another rate is lost, as a real device cannot make out bytes at the wrong rate");
    app.add_flag("--log", log, "write one line per frame and control byte, both ways, to stderr");
    app.add_option("--zero-delay", options.zeroDelayMs, "how long zeroing the counters takes, ms")
        ->capture_default_str();
    app.add_option("--unacknowledged", options.unacknowledged,
                   "answer the first N frames with 0x15");
    app.add_flag("--silent", options.silent, "never answer");
    app.add_option("--reply", replies, "answer the frame FRAME with TEXT")->type_name("FRAME=TEXT");
    app.add_option("--refuse", refused, "refuse to store the article CODE")->type_name("CODE");
    app.add_option("--fault", faults,
                   "misbehave toward the frame FRAME ('*': every frame): nak:N (0x15 N times "
                   "before 0x06), never-ack, bad-crc (in the reply), noise (before the reply), "
                   "cut (the reply stops mid-frame), long (a reply of 257 text bytes), delay:MS "
                   "(the reply comes MS late), silent-after (silence for the rest of the "
                   "session), drop (the line drops: the terminal closes and the simulator ends)")
        ->type_name("FRAME=KIND[:N]");
    CLI11_PARSE(app, argc, argv);
    for (const std::string& rule : replies) {
        const size_t eq = rule.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "velko-sim: --reply needs FRAME=TEXT, not '%s'\n", rule.c_str());
            return 2;
        }
        options.replies[rule.substr(0, eq)] = rule.substr(eq + 1);
    }
    options.refusedCodes.insert(refused.begin(), refused.end());
    for (const std::string& rule : faults) {
        if (!addFault(rule, options)) {
            std::fprintf(stderr, "velko-sim: --fault needs FRAME=KIND[:N], not '%s'\n",
                         rule.c_str());
            return 2;
        }
    }

    velko::DeviceModel* devicePtr = nullptr;
    velko::StoreJournal journal(store);
    if (!store.empty()) {
        options.onChange = [&](const velko::TableChange& change) {
            std::string error;
            if (!journal.record(change, error) ||
                (journal.due(devicePtr->table().size()) && !journal.compact(*devicePtr, error)))
                std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        };
    }
    velko::DeviceModel device(options);
    devicePtr = &device;
    std::string error;
    const bool stored = !store.empty() && access(store.c_str(), F_OK) == 0;
    const std::string start = stored ? store : seed;
    if (!start.empty() && !velko::loadTableFile(start, device, error)) {
        std::fprintf(stderr, "velko-sim: %s", error.c_str());
        return 1;
    }
    bool pending = false;
    if (!store.empty() && !journal.open(device, stored, &pending, error)) {
        std::fprintf(stderr, "velko-sim: %s\n", error.c_str());
        return 1;
    }
    if (!listing.empty() && !readListing(listing, device)) return 1;
    if (!store.empty() && (!stored || pending || !listing.empty()) &&
        !journal.compact(device, error)) {
        std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        return 1;
    }

    int line = -1, slave = -1, listener = -1;
    std::string path;
    if (tcpPort >= 0) {
        const int port = listenOnLoopback(tcpPort, &listener);
        if (port < 0) {
            std::perror("velko-sim: TCP");
            return 1;
        }
        path = "tcp://127.0.0.1:" + std::to_string(port);
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
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) != 0) {
            std::perror("velko-sim: link");
            return 1;
        }
    }
    struct sigaction stop {};
    stop.sa_handler = onSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    // Started in the background of a terminal, reading it fails instead of stopping us; a
    // client gone while we answer fails the write instead of ending us.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    velko::WireLog hostLog(stderr, "host>device"), deviceLog(stderr, "device>host");
    LineOutput out(line, tcpPort >= 0, log ? &deviceLog : nullptr, pace ? paceBaud : 0);
    unsigned char buf[256];
    std::string input;
    pollfd watch[3] = {{line, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
    while (!stopping) {
        watch[0].fd = line;
        if (poll(watch, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (line >= 0 && watch[0].fd == line && watch[0].revents) {
            const ssize_t n = read(line, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0 && tcpPort < 0) break;
            if (n <= 0) {  // the client went away: wait for the next
                close(line);
                line = -1;
                continue;
            }
            // A pseudo-terminal carries the rate the host set but delivers at any rate; a real
            // line at another rate than the device's turns every byte into noise.
            if (strictBaud && tcpPort < 0) {
                const uint32_t rate = velko::terminalBaud(slave);
                if (rate != paceBaud) {
                    if (log)
                        hostLog.line(std::to_string(n) + " byte(s) at " + std::to_string(rate) +
                                     " baud, not heard");
                    continue;
                }
            }
            out.pace(size_t(n));  // the host's bytes arrive no faster than the wire carries them
            if (log) hostLog.feed(buf, size_t(n));
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
                command(input.substr(0, end), device);
        }
    }
    int status = 0;
    if (!store.empty() && !journal.compact(device, error)) {
        std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        status = 1;
    }
    if (!link.empty()) unlink(link.c_str());
    for (int fd : {slave, line, listener}) {
        if (fd >= 0) close(fd);
    }
    return status;
}
