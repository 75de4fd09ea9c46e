#include "link/posix_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/posix_baud.h"
#include "link/posix_io.h"
#include "link/tcp_port.h"

namespace velko {

uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// The system's text of an error as the rest of a phrase: "connection timed out".
std::string errorText(int error) {
    std::string text = std::strerror(error);
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

bool LineReader::read(const Timeouts& limits, void* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    const bool limited = limits.readsAreLimited();
    const uint64_t deadline = monotonicMs() + limits.readLimitMs(count);
    auto* out = static_cast<unsigned char*>(buf);
    bool ready = false;  // poll said there was something to read
    while (*got < count) {
        if (head_ < tail_) {
            const uint32_t n = std::min(count - *got, tail_ - head_);
            std::memcpy(out + *got, ahead_ + head_, n);
            head_ += n;
            *got += n;
            continue;
        }
        // Bytes already there are taken at once; poll only waits for the rest.
        const ssize_t n = ::read(fd_, ahead_, sizeof ahead_);
        if (n > 0) {
            head_ = 0;
            tail_ = uint32_t(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;  // a line error
        // Nothing there: a raw terminal reads 0, a socket EAGAIN. Nothing right after poll said
        // there was something: the other end hung up or closed the connection.
        if (n == 0 && ready) return false;
        int wait = -1;
        if (limited) {
            const uint64_t now = monotonicMs();
            if (now >= deadline) return true;
            wait = int(deadline - now);
        }
        pollfd p{fd_, POLLIN, 0};
        const int polled = ::poll(&p, 1, wait);
        if (polled < 0 && errno != EINTR) return false;
        ready = polled > 0;
    }
    return true;
}

bool LineReader::discard(bool socket) {
    head_ = tail_ = 0;
    if (!socket) return true;
    // A peer that never stops talking is not waited out: what comes after 64 KiB is read as
    // any other garbage would be.
    for (int reads = 0; reads < 256;) {
        const ssize_t n = ::read(fd_, ahead_, sizeof ahead_);
        if (n > 0) {
            ++reads;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;  // 0: the other end closed; below 0: the connection failed
    }
    return true;
}

bool writeAll(int fd, const void* buf, uint32_t count, uint32_t* written, bool socket) {
    *written = 0;
    const auto* in = static_cast<const unsigned char*>(buf);
    while (*written < count) {
        // MSG_NOSIGNAL: a connection closed by the other end fails the write instead of
        // killing the process with SIGPIPE.
        const ssize_t n = socket ? ::send(fd, in + *written, count - *written, MSG_NOSIGNAL)
                                 : ::write(fd, in + *written, count - *written);
        if (n > 0) {
            *written += uint32_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

namespace {

bool speedFor(uint32_t baud, speed_t* speed) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } table[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                 {150, B150},       {200, B200},       {300, B300},       {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& row : table) {
        if (row.baud == baud) {
            *speed = row.speed;
            return true;
        }
    }
    return false;
}

void sleepUntil(uint64_t deadlineMs) {
    const timespec until{time_t(deadlineMs / 1000), long(deadlineMs % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The driver's count of line errors: framing, parity, overruns and breaks. False when the
// driver keeps no such counts (pseudo-terminals, some USB adapters): then a line error
// cannot be told from data.
bool lineErrors(int fd, uint64_t* count) {
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0) return false;
    *count = uint64_t(c.frame) + uint64_t(c.parity) + uint64_t(c.overrun) + uint64_t(c.brk) +
             uint64_t(c.buf_overrun);
    return true;
}

// The lock file that serial programs on Linux agree on (UUCP style): /run/lock/LCK..NAME
// holding the owner's process number in ten characters; NAME is the device path after /dev/,
// with '/' as '_'. A lock whose process is gone is stale and taken over.
class UucpLock {
  public:
    // Takes the lock for `device`; false, with the cause in `why`, when a living process holds
    // it or the lock file cannot be made. Where there is no lock directory we may write, there
    // is nobody to agree with: true without a lock.
    bool acquire(const std::string& device, std::string& why) {
        char* real = realpath(device.c_str(), nullptr);
        std::string name = real ? real : device;
        free(real);
        if (name.compare(0, 5, "/dev/") == 0) name.erase(0, 5);
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        for (const char* dir : {"/run/lock", "/var/lock"}) {
            if (access(dir, W_OK) != 0) continue;
            path_ = std::string(dir) + "/LCK.." + name;
            why = device + " is held by another program";  // a race lost twice
            for (int attempt = 0; attempt < 2; ++attempt) {
                const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    char pid[16];
                    const int n = std::snprintf(pid, sizeof pid, "%10d\n", int(getpid()));
                    const bool written = ::write(fd, pid, size_t(n)) == n;
                    const int error = errno;
                    ::close(fd);
                    if (written) return true;
                    unlink(path_.c_str());
                    why = device + ": its lock file " + path_ + " could not be written (" +
                          errorText(error) + ")";
                    break;
                }
                const int error = errno;
                if (error != EEXIST) {
                    why = device + ": its lock file " + path_ + " could not be made (" +
                          errorText(error) + ")";
                    break;
                }
                long holder = 0;
                if (!removeIfStale(&holder)) {
                    const int removal = errno;
                    why = holder > 0 ? device + " is held by another program (process " +
                                           std::to_string(holder) + ")"
                                     : device + ": the stale lock file " + path_ +
                                           " could not be removed (" + errorText(removal) + ")";
                    break;
                }
            }
            path_.clear();
            return false;
        }
        return true;
    }
    ~UucpLock() {
        if (!path_.empty()) unlink(path_.c_str());
    }

  private:
    // False when the lock's process lives (its number in `holder`) or the stale lock could not
    // be removed (`holder` 0, errno says why).
    bool removeIfStale(long* holder) {
        char text[32] = {};
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT;  // gone meanwhile: try again
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        // Ten characters of text, or the four-byte binary number of old programs.
        int32_t binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        const long pid = n == 4 ? long(binary) : std::strtol(text, nullptr, 10);
        if (pid > 0 && (kill(pid_t(pid), 0) == 0 || errno != ESRCH)) {
            *holder = pid;
            return false;
        }
        return unlink(path_.c_str()) == 0 || errno == ENOENT;
    }

    std::string path_;
};

// Modem lines: a pseudo-terminal has none and refuses them, and a port that refuses its modem
// lines still carries data, so the outcome is not part of the set-up's success.
void setModemLine(int fd, int line, bool on) {
    int bits = line;
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

class PosixPort : public PortDevice {
  public:
    PosixPort(int fd, std::unique_ptr<UucpLock> lock) : fd_(fd), lock_(std::move(lock)) {
        countsErrors_ = lineErrors(fd_, &lineErrors_);
    }
    ~PosixPort() override {
        // The exclusive mode belongs to the terminal, not to this descriptor: clear it so a
        // terminal that someone else also holds open can be opened again by the next job.
        (void)ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    bool applyLineSetup(const LineSetup& s) override {
        // A rate outside the classic table goes on through termios2 once the rest is set.
        speed_t speed = B38400;
        const bool classic = speedFor(s.baudRate, &speed);
        if (s.baudRate == 0) return false;  // B0 would hang the line up
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return false;
        // Raw: frames carry 0x0A, 0x0D and CRC bytes of any value, so nothing may be translated.
        cfmakeraw(&tio);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        // Modem lines ignored; DTR dropped when the port is closed, as Windows does.
        tio.c_cflag |= CLOCAL | CREAD | HUPCL;
        switch (s.byteSize) {
            case 5:
                tio.c_cflag |= CS5;
                break;
            case 6:
                tio.c_cflag |= CS6;
                break;
            case 7:
                tio.c_cflag |= CS7;
                break;
            case 8:
                tio.c_cflag |= CS8;
                break;
            default:
                return false;
        }
        if (s.parity == 1) tio.c_cflag |= PARENB | PARODD;
        if (s.parity == 2) tio.c_cflag |= PARENB;
        if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
        if (s.fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (s.fOutX) tio.c_iflag |= IXON;
        if (s.fInX) tio.c_iflag |= IXOFF;
        // Reads are timed by poll with our own deadline, never by the driver.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) return false;
        if (!classic && !setAnyBaud(fd_, s.baudRate)) return false;
        baud_ = s.baudRate;
        setModemLine(fd_, TIOCM_DTR, s.fDtrControl == 1);
        setModemLine(fd_, TIOCM_RTS, s.fRtsControl == 1);
        return true;
    }

    bool applyTimeouts(const Timeouts& t) override {
        timeouts_ = t;
        return true;
    }

    bool setQueueSizes(uint32_t, uint32_t) override { return true; }

    bool read(void* buf, uint32_t count, uint32_t* got) override {
        *got = 0;
        return lineIsSound() && reader_.read(timeouts_, buf, count, got) && lineIsSound();
    }

    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        *written = 0;
        if (!lineIsSound() || !writeAll(fd_, buf, count, written, false)) return false;
        return drain(count) && lineIsSound();
    }

    bool discardInput() override { return tcflush(fd_, TCIFLUSH) == 0 && reader_.discard(false); }

  private:
    // Milliseconds that `bytes` take on the wire: ten bits each at the line's rate.
    uint64_t wireMs(uint64_t bytes) const { return (bytes * 10 * 1000 + baud_ - 1) / baud_; }

    // A write returns when its bytes have left the port, as on Windows: otherwise the wait for
    // the acknowledgement would start while the frame is still going out, and a long frame at
    // a low rate would be sent again before the device could answer it. Waits for the driver's
    // queue to empty, in sleeps of the queue's own wire time, for at most twice the wire time
    // of what was written and a second: a stuck driver fails the write instead of the job
    // hanging. A driver that cannot say how much it holds is asked to drain.
    bool drain(uint32_t count) {
        const uint64_t deadline = monotonicMs() + 2 * wireMs(count) + 1000;
        for (;;) {
            int queued = 0;
            if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return tcdrain(fd_) == 0;
            if (queued <= 0) break;
            const uint64_t now = monotonicMs();
            if (now >= deadline) return false;
            sleepUntil(std::min(deadline, now + wireMs(uint64_t(queued))));
        }
        // The queue is empty; the last bytes may still be in the transmitter, which a serial
        // driver drains in far less than the bound above.
        unsigned int status = 0;
        if (!reportsTransmitter_ || ioctl(fd_, TIOCSERGETLSR, &status) != 0) {
            reportsTransmitter_ = false;  // asked once per port, not once per write
            return true;
        }
        while (!(status & TIOCSER_TEMT)) {
            const uint64_t now = monotonicMs();
            if (now >= deadline) return false;
            sleepUntil(std::min(deadline, now + wireMs(16)));
            if (ioctl(fd_, TIOCSERGETLSR, &status) != 0) return true;
        }
        return true;
    }

    // After a framing, parity or overrun error or a break, Windows refuses every further read
    // and write on the handle (the line set-up aborts on errors); the same here, where the
    // driver counts them.
    bool lineIsSound() {
        uint64_t now = 0;
        if (failed_) return false;
        if (countsErrors_ && lineErrors(fd_, &now) && now != lineErrors_) failed_ = true;
        return !failed_;
    }

    int fd_;
    LineReader reader_{fd_};
    std::unique_ptr<UucpLock> lock_;
    Timeouts timeouts_;
    uint32_t baud_ = 9600;
    bool countsErrors_ = false;
    bool reportsTransmitter_ = true;
    uint64_t lineErrors_ = 0;
    bool failed_ = false;
};

// Whether this process has group `gid` among its own.
bool processHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(size_t(n), 0);
    const int got = getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Why a device we may not open is refused, and the usual remedy: the group that owns serial
// devices (dialout, uucp) gives its members read and write.
std::string permissionDenied(const std::string& path) {
    const std::string plain = "permission denied on " + path;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) ||
        processHasGroup(st.st_gid))
        return plain;
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return plain;
    const std::string name = found->gr_name;
    // A user added to the group already is not in it until the next login.
    passwd user{};
    passwd* me = nullptr;
    std::vector<char> userBuffer(16384);
    if (getpwuid_r(geteuid(), &user, userBuffer.data(), userBuffer.size(), &me) == 0 && me) {
        for (char** member = found->gr_mem; member && *member; ++member) {
            if (std::strcmp(*member, me->pw_name) == 0)
                return plain + "; the user was added to the group '" + name +
                       "' that owns it: log in again";
        }
    }
    return plain + "; add the user to the group '" + name + "' that owns it";
}

// The cause of a failed open(2) of a device path.
std::string openError(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:  // a serial port without its hardware
            return "no such device: " + path;
        case EACCES:
        case EPERM:
            return permissionDenied(path);
        case EBUSY:  // a terminal in exclusive mode
            return path + " is held by another program";
        case EISDIR:
            return path + " is not a serial device";
        default:
            return path + ": " + errorText(error);
    }
}

}  // namespace

std::unique_ptr<PortDevice> openPosixPort(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = openError(path, errno);
        return nullptr;
    }
    // Exclusive like a Windows port opened with share mode 0. Other programs are seen through
    // the conventions they keep: the lock file of terminal and modem programs, flock, and the
    // terminal's own exclusive mode. The exclusive mode comes last, once the line is surely
    // ours: set by an open that then fails, it would lock the other program's terminal.
    auto lock = std::make_unique<UucpLock>();
    if (!isatty(fd)) {
        why = path + " is not a serial device";
    } else if (!lock->acquire(path, why)) {
        // why says which
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        why = path + " is held by another program";
    } else {
        return std::make_unique<PosixPort>(fd, std::move(lock));
    }
    ::close(fd);
    return nullptr;
}

std::unique_ptr<PortDevice> openPosixPort(const std::string& path) {
    std::string why;
    return openPosixPort(path, why);
}

std::string PosixPlatform::pathOf(int32_t port) const {
    const auto it = paths_.find(port);
    if (it != paths_.end()) return it->second;
    if (port < 1) return std::string();
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::unique_ptr<PortDevice> PosixPlatform::openPort(int32_t port, std::string& why) {
    const std::string path = pathOf(port);
    if (path.empty()) {
        why = "no such device: port " + std::to_string(port);
        return nullptr;
    }
    if (path.compare(0, 6, "tcp://") == 0) return openTcpPort(path.substr(6), why);
    return openPosixPort(path, why);
}

void PosixPlatform::sleep(uint32_t ms) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += long(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

uint32_t PosixPlatform::tickCount() {
    return uint32_t(monotonicMs());
}

std::unique_ptr<Platform> platformForLine(const std::string& line) {
    auto platform = std::make_unique<PosixPlatform>();
    platform->mapPort(1, line);
    return platform;
}

const char* firstPortName() {
    return "/dev/ttyS0";
}

Platform& systemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace velko
