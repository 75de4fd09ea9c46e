// velko-sim: a simulated VELKO device on a pseudo-terminal. Prints the terminal's path, then
// answers whatever opens it until it is stopped.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/device_model.h"

namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

class PtyOutput : public velko::DeviceModel::Output {
  public:
    explicit PtyOutput(int fd) : fd_(fd) {}
    void send(const velko::Bytes& bytes, uint32_t delayMs) override {
        if (delayMs) usleep(useconds_t(delayMs) * 1000);
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

  private:
    int fd_;
};

int usage() {
    std::fprintf(stderr,
                 "usage: velko-sim [--link PATH] [--address N] [--answer TEXT]\n"
                 "                 [--zero-delay MS] [--unacknowledged N] [--silent]\n"
                 "                 [--reply FRAME=TEXT]... [--refuse CODE]... [--table FILE]\n"
                 "Serves a simulated VELKO device on a pseudo-terminal and prints its path.\n"
                 "  --link PATH        also make PATH a symbolic link to the terminal\n"
                 "  --address N        answer only device number N (default: every number)\n"
                 "  --answer TEXT      the answer to the address message (default D)\n"
                 "  --zero-delay MS    how long zeroing the counters takes (default 500)\n"
                 "  --unacknowledged N answer the first N frames with 0x15\n"
                 "  --silent           never answer\n"
                 "  --reply FRAME=TEXT answer the frame FRAME with TEXT\n"
                 "  --refuse CODE      refuse to store the article CODE\n"
                 "  --table FILE       start with the articles listed in FILE, one per line as\n"
                 "                     the device lists them: 0;123;ABC;1;12.50;1;3.500;43.75;\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    velko::DeviceModel::Options options;
    std::string link, tableFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--silent") {
            options.silent = true;
        } else if (!hasValue) {
            return usage();
        } else if (arg == "--link") {
            link = argv[++i];
        } else if (arg == "--address") {
            options.address = std::atoi(argv[++i]);
        } else if (arg == "--answer") {
            options.answer = argv[++i];
        } else if (arg == "--zero-delay") {
            options.zeroDelayMs = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--unacknowledged") {
            options.unacknowledged = std::atoi(argv[++i]);
        } else if (arg == "--refuse") {
            options.refusedCodes.insert(argv[++i]);
        } else if (arg == "--table") {
            tableFile = argv[++i];
        } else if (arg == "--reply") {
            const std::string rule = argv[++i];
            const size_t eq = rule.find('=');
            if (eq == std::string::npos) return usage();
            options.replies[rule.substr(0, eq)] = rule.substr(eq + 1);
        } else {
            return usage();
        }
    }

    velko::DeviceModel device(options);
    if (!tableFile.empty()) {
        std::ifstream in(tableFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        int bad = 0;
        if (!in || !device.loadTable(text.str(), &bad)) {
            std::fprintf(stderr, "velko-sim: %s: cannot read the table (line %d)\n",
                         tableFile.c_str(), bad);
            return 1;
        }
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("velko-sim: pseudo-terminal");
        return 1;
    }
    const std::string path = ptsname(master);
    // Holding the terminal open keeps the master readable between the host's jobs.
    const int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) {
        std::perror("velko-sim: terminal");
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) != 0) {
            std::perror("velko-sim: link");
            return 1;
        }
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    PtyOutput out(master);
    unsigned char buf[256];
    while (!stopping) {
        pollfd p{master, POLLIN, 0};
        const int ready = poll(&p, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        const ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        for (ssize_t i = 0; i < n; ++i) device.feed(buf[i], out);
    }
    if (!link.empty()) unlink(link.c_str());
    close(slave);
    close(master);
    return 0;
}
