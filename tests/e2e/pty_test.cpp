// The real POSIX serial layer over pseudo-terminals, in real time, with the simulated device
// program on the far end.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iomanip>

#include "../common/article_scenario.h"
#include "api/exclusive_link.h"
#include "api/export_jobs.h"
#include "link/posix_platform.h"
#include "link/velko_comm.h"
#include "sim_process.h"

namespace velko::test {
namespace {

struct PtyLink {
    explicit PtyLink(const std::string& path) : link(platform) { platform.mapPort(1, path); }
    PosixPlatform platform;
    VELKOComm link;
};

TEST(PosixLine, ZeroesTheCountersOfTheSimulatedDevice) {
    SimProcess sim({"--zero-delay", "50"});
    PtyLink t(sim.path());
    ReplyString sessionText;
    EXPECT_EQ(t.link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
    EXPECT_FALSE(t.link.isOpen());
    // The port is free again for the next job.
    EXPECT_EQ(t.link.zeroCounters(1, 115200, 1, sessionText), VELKO_OK);
}

TEST(PosixLine, CarriesTheSessionAnswerAndTheFrameS) {
    SimProcess sim({"--answer", "12;", "--zero-delay", "0"});
    PtyLink t(sim.path());
    ReplyString sessionText;
    EXPECT_EQ(t.link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
    EXPECT_EQ(sessionText, "12");
}

TEST(PosixLine, PortsThatCannotBeOpenedAreOpenErrors) {
    SimProcess sim;
    ReplyString sessionText;
    {
        PtyLink missing("/dev/velko-no-such-port");
        EXPECT_EQ(missing.link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
    }
    {
        PtyLink notATerminal("/dev/null");
        EXPECT_EQ(notATerminal.link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
    }
    {
        // Rates outside the classic table go through termios2 as on Windows; 0 is no rate.
        PtyLink rates(sim.path());
        for (uint32_t baud : {14400u, 28800u, 56000u, 128000u, 256000u})
            EXPECT_EQ(rates.link.zeroCounters(1, baud, 1, sessionText), VELKO_OK) << baud;
        EXPECT_EQ(rates.link.zeroCounters(1, 0, 1, sessionText), VELKO_ERR_OPEN);
        EXPECT_FALSE(rates.link.isOpen());
    }
    {
        // Another program's lock file, as terminal and modem programs leave it.
        std::string name = sim.path().substr(5);  // after /dev/
        name.replace(name.find('/'), 1, "_");
        const std::string lockFile = "/run/lock/LCK.." + name;
        PtyLink t(sim.path());
        {
            std::ofstream(lockFile) << "         1\n";  // init never goes away
        }
        EXPECT_EQ(t.link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
        const pid_t gone = fork();
        if (gone == 0) _exit(0);
        waitpid(gone, nullptr, 0);
        {
            std::ofstream(lockFile) << std::setw(10) << gone << "\n";  // a stale lock
        }
        EXPECT_EQ(t.link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
        EXPECT_NE(access(lockFile.c_str(), F_OK), 0) << "our own lock is gone after the job";
    }
    {
        // A program that only flocks the terminal: refused, and its terminal not left in
        // exclusive mode by the refused open.
        const int other = open(sim.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        PtyLink t(sim.path());
        EXPECT_EQ(t.link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
        int exclusive = -1;
        ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        close(other);
    }
    {
        PtyLink holder(sim.path());
        ASSERT_TRUE(holder.link.open(1, 9600));
        PtyLink second(sim.path());
        EXPECT_EQ(second.link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
        holder.link.close();
        EXPECT_EQ(second.link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
    }
}

TEST(PosixLine, ReadsEndAtTheirLimitWithWhatArrived) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    auto port = openPosixPort(ptsname(master));
    ASSERT_TRUE(port);
    LineSetup setup;
    setup.baudRate = 9600;
    ASSERT_TRUE(port->applyLineSetup(setup));
    Timeouts limits;
    limits.readTotalConstant = 50;
    limits.readTotalMultiplier = 10;
    ASSERT_TRUE(port->applyTimeouts(limits));

    // Every byte value passes untranslated, in both directions.
    unsigned char all[256];
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    ASSERT_EQ(write(master, all, sizeof all), 256);
    unsigned char got[300];
    uint32_t n = 0;
    ASSERT_TRUE(port->read(got, 256, &n));
    ASSERT_EQ(n, 256u);
    EXPECT_EQ(0, memcmp(got, all, 256));
    uint32_t written = 0;
    ASSERT_TRUE(port->write(all, 256, &written));
    EXPECT_EQ(written, 256u);
    size_t echoed = 0;
    while (echoed < 256) {
        const ssize_t r = read(master, got + echoed, 256 - echoed);
        ASSERT_GT(r, 0);
        echoed += size_t(r);
    }
    EXPECT_EQ(0, memcmp(got, all, 256));

    // A read of two bytes with one on the line ends at its limit with that one.
    ASSERT_EQ(write(master, "A", 1), 1);
    ASSERT_TRUE(port->read(got, 2, &n));
    EXPECT_EQ(n, 1u);
    ASSERT_TRUE(port->read(got, 1, &n));
    EXPECT_EQ(n, 0u);

    // The far end hanging up is a failed read, not an endless one.
    close(master);
    EXPECT_FALSE(port->read(got, 1, &n));
}

// A pseudo-terminal of the test's own: the far end in `master`, the line at `path`.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
    int master = -1;
    std::string path;
};

// Waits until the far end's bytes have passed the terminal's buffers to the line's side.
void letThemArrive() {
    usleep(50 * 1000);
}

TEST(PosixLine, OpenFailuresNameTheirCause) {
    ReplyString sessionText;
    const auto causeOf = [&sessionText](const std::string& line, uint32_t baud = 9600) {
        PtyLink t(line);
        const int32_t rc = t.link.zeroCounters(1, baud, 1, sessionText);
        EXPECT_EQ(rc, VELKO_ERR_OPEN) << line;
        EXPECT_FALSE(t.link.isOpen()) << line;
        return t.link.openFailure();
    };
    EXPECT_EQ(causeOf("/dev/velko-no-such-port"), "no such device: /dev/velko-no-such-port");
    EXPECT_EQ(causeOf("/dev/null"), "/dev/null is not a serial device");
    char file[] = "/tmp/velko-not-a-line-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(causeOf(file), std::string(file) + " is not a serial device");
    unlink(file);
    EXPECT_EQ(causeOf("/tmp"), "/tmp is not a serial device");

    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    EXPECT_EQ(causeOf(pty.path, 0), "the port does not take 0 baud");
    {
        // Held by another link of ours: the lock file names this process where a lock
        // directory takes one; flock alone tells no process.
        PtyLink holder(pty.path);
        ASSERT_TRUE(holder.link.open(1, 9600));
        EXPECT_EQ(holder.link.openFailure(), "");
        const bool locks = access("/run/lock", W_OK) == 0 || access("/var/lock", W_OK) == 0;
        EXPECT_EQ(causeOf(pty.path),
                  pty.path + " is held by another program" +
                      (locks ? " (process " + std::to_string(getpid()) + ")" : std::string()));
    }
    {
        const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(causeOf(pty.path), pty.path + " is held by another program");
        close(other);
    }
    {
        // A loopback port that nothing listens on: bound, its number taken, and let go.
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
        close(s);
        const std::string line = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        EXPECT_EQ(causeOf(line), line + ": connection refused");
    }
    EXPECT_EQ(causeOf("tcp://localhost"), "tcp://localhost: no port named (tcp://HOST:PORT)");

    // A line that opens leaves no cause behind.
    PtyLink again(pty.path);
    EXPECT_FALSE(again.link.open(1, 0));
    EXPECT_EQ(again.link.openFailure(), "the port does not take 0 baud");
    EXPECT_TRUE(again.link.open(1, 9600));
    EXPECT_EQ(again.link.openFailure(), "");
}

TEST(PosixLine, ADiscardDropsWhatTheTerminalAndTheReadAheadHold) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    auto port = openPosixPort(pty.path);
    ASSERT_TRUE(port);
    LineSetup setup;
    setup.baudRate = 9600;
    ASSERT_TRUE(port->applyLineSetup(setup));
    Timeouts limits;
    limits.readTotalConstant = 50;
    ASSERT_TRUE(port->applyTimeouts(limits));

    char got[16] = {};
    uint32_t n = 0;
    ASSERT_EQ(write(pty.master, "stale", 5), 5);
    letThemArrive();
    ASSERT_TRUE(port->read(got, 1, &n));  // the rest is read ahead
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(write(pty.master, "later", 5), 5);  // and this waits in the terminal
    letThemArrive();
    EXPECT_TRUE(port->discardInput());
    ASSERT_EQ(write(pty.master, "new", 3), 3);
    ASSERT_TRUE(port->read(got, 4, &n));
    EXPECT_EQ(std::string(got, n), "new");
}

TEST(TcpLine, ADiscardReadsWhatWaitsAndFailsOnAClosedConnection) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    PosixPlatform platform;
    platform.mapPort(1, "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    std::string why;
    auto port = platform.openPort(1, why);
    ASSERT_TRUE(port) << why;
    const int server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    Timeouts limits;
    limits.readTotalConstant = 50;
    ASSERT_TRUE(port->applyTimeouts(limits));

    char got[16] = {};
    uint32_t n = 0;
    EXPECT_TRUE(port->discardInput());  // nothing there
    ASSERT_EQ(write(server, "stale", 5), 5);
    letThemArrive();
    ASSERT_TRUE(port->read(got, 1, &n));
    ASSERT_EQ(n, 1u);
    ASSERT_EQ(write(server, "later", 5), 5);
    letThemArrive();
    EXPECT_TRUE(port->discardInput());
    ASSERT_EQ(write(server, "new", 3), 3);
    ASSERT_TRUE(port->read(got, 4, &n));
    EXPECT_EQ(std::string(got, n), "new");

    close(server);
    letThemArrive();
    EXPECT_FALSE(port->discardInput());
    close(listener);
}

// The library's four functions as the exports make them, on a link whose port 1 is the pty.
ExclusiveLink* gate = nullptr;

int32_t VELKO_CALL deleteOnPty(int32_t port, uint32_t baud, uint32_t device, ArticleSupplier s,
                               uint32_t user) {
    return gate->run([&](VELKOComm& l) { return exportedDelete(l, port, baud, device, s, user); });
}
int32_t VELKO_CALL receiveOnPty(int32_t port, uint32_t baud, uint32_t device, ArticleConsumer c,
                                uint32_t user) {
    return gate->run([&](VELKOComm& l) { return exportedReceive(l, port, baud, device, c, user); });
}
int32_t VELKO_CALL sendOnPty(int32_t port, uint32_t baud, uint32_t skip, uint32_t device,
                             ArticleSupplier s, uint32_t user) {
    return gate->run(
        [&](VELKOComm& l) { return exportedSend(l, port, baud, skip, device, s, user); });
}
int32_t VELKO_CALL zeroOnPty(int32_t port, uint32_t baud, uint32_t device) {
    return gate->run([&](VELKOComm& l) { return exportedZero(l, port, baud, device); });
}

TEST(PosixLine, UploadsDownloadsDeletesAndZeroesArticles) {
    SimProcess sim({"--table", VELKO_SCENARIO_TABLE, "--zero-delay", "50"});
    PtyLink t(sim.path());
    ExclusiveLink exclusive(t.link);
    gate = &exclusive;
    const LibraryFunctions pty{deleteOnPty, receiveOnPty, sendOnPty, zeroOnPty};
    const int failed =
        runArticleScenario(pty, [](bool ok, const char* what) { EXPECT_TRUE(ok) << what; });
    EXPECT_EQ(failed, 0);
    gate = nullptr;
}

TEST(LinuxLibrary, ExportsCheckTheirArgumentsBeforeOpeningAnything) {
    void* lib = dlopen(VELKO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using Zero = int32_t (*)(int32_t, uint32_t, uint32_t);
    auto zero = reinterpret_cast<Zero>(dlsym(lib, "VELKOZeroPLUCounters"));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero(0, 9600, 1), VELKO_ERR_PORT);
    EXPECT_EQ(zero(3, 9600, 1), VELKO_ERR_PORT);
    EXPECT_EQ(zero(1, 9600, 356), VELKO_ERR_ADDRESS);  // low byte 100
    EXPECT_EQ(dlsym(lib,
                    "_ZN5velko9VELKOComm12zeroCountersEijhRNSt7__cxx1112basic_stringIcSt11char_"
                    "traitsIcESaIcEEE"),
              nullptr);
    dlclose(lib);
}

}  // namespace
}  // namespace velko::test
