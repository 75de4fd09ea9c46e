#include "link/posix_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace velko {
namespace {

uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

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

// Modem lines: a pseudo-terminal has none and refuses them, and a port that refuses its modem
// lines still carries data, so the outcome is not part of the set-up's success.
void setModemLine(int fd, int line, bool on) {
    int bits = line;
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

class PosixPort : public PortDevice {
  public:
    explicit PosixPort(int fd) : fd_(fd) {}
    ~PosixPort() override {
        // The exclusive mode belongs to the terminal, not to this descriptor: clear it so a
        // terminal that someone else also holds open can be opened again by the next job.
        (void)ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    bool applyLineSetup(const LineSetup& s) override {
        speed_t speed;
        if (!speedFor(s.baudRate, &speed)) return false;
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
        const bool limited = timeouts_.readTotalConstant != 0 || timeouts_.readTotalMultiplier != 0;
        const uint64_t deadline = monotonicMs() + timeouts_.readTotalConstant +
                                  uint64_t(count) * timeouts_.readTotalMultiplier;
        auto* out = static_cast<unsigned char*>(buf);
        while (*got < count) {
            int wait = -1;
            if (limited) {
                const uint64_t now = monotonicMs();
                if (now >= deadline) return true;
                wait = int(deadline - now);
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (ready == 0) continue;  // the deadline test above ends the read
            const ssize_t n = ::read(fd_, out + *got, count - *got);
            if (n > 0) {
                *got += uint32_t(n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                return false;  // hang-up or a line error
            }
        }
        return true;
    }

    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        *written = 0;
        const auto* in = static_cast<const unsigned char*>(buf);
        while (*written < count) {
            const ssize_t n = ::write(fd_, in + *written, count - *written);
            if (n > 0) {
                *written += uint32_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
                continue;
            }
            return false;
        }
        return true;
    }

  private:
    int fd_;
    Timeouts timeouts_;
};

}  // namespace

std::unique_ptr<PortDevice> openPosixPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Exclusive like a Windows port opened with share mode 0: TIOCEXCL stops other openers,
    // flock stops the ones that TIOCEXCL lets through (root).
    if (!isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixPort>(fd);
}

std::string PosixPlatform::pathOf(int32_t port) const {
    const auto it = paths_.find(port);
    if (it != paths_.end()) return it->second;
    if (port < 1) return std::string();
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::unique_ptr<PortDevice> PosixPlatform::openPort(int32_t port) {
    const std::string path = pathOf(port);
    if (path.empty()) return nullptr;
    return openPosixPort(path);
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

Platform& systemPlatform() {
    static PosixPlatform platform;
    return platform;
}

}  // namespace velko
