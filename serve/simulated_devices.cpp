#include "serve/simulated_devices.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

#include "sim/device_model.h"
#include "sim/table_file.h"

namespace velko::serve {
namespace {

const char kSeed[] =
    "code,name,price,flag,group\n"
    "5900001000017,CHLEB ŻYTNI,4.50,0,1\n"
    "5900001000024,BUŁKA KAJZERKA,0.65,0,1\n"
    "5900001000031,MASŁO EKSTRA 200G,7.99,0,2\n"
    "5900001000048,MLEKO 3.2% 1L,3.49,0,2\n"
    "5900001000055,JAJA L 10 SZT,11.90,0,2\n"
    "5900001000062,KAWA MIELONA 250G,18.99,0,3\n"
    "5900001000079,HERBATA CZARNA,8.49,0,3\n"
    "5900001000086,CUKIER 1KG,4.29,0,3\n";

// Puts the device's bytes on the pseudo-terminal, each taking its wire time.
class PacedOutput : public DeviceModel::Output {
  public:
    PacedOutput(int fd, uint32_t baud) : fd_(fd), baud_(baud) {}
    void send(const Bytes& bytes, uint32_t delayMs) override {
        if (delayMs) usleep(useconds_t(delayMs) * 1000);
        pace(bytes.size());
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
    void pace(size_t bytes) const { usleep(useconds_t(uint64_t(bytes) * 10000000 / baud_)); }

  private:
    int fd_;
    uint32_t baud_;
};

}  // namespace

struct SimulatedDevices::Device {
    int master = -1, slave = -1;
    std::thread thread;
    ~Device() {
        if (thread.joinable()) thread.join();
        for (int fd : {master, slave}) {
            if (fd >= 0) close(fd);
        }
    }
};

SimulatedDevices::SimulatedDevices(int count, uint32_t baud) {
    for (int i = 0; i < count; ++i) {
        auto d = std::make_unique<Device>();
        d->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (d->master < 0 || grantpt(d->master) != 0 || unlockpt(d->master) != 0)
            throw std::runtime_error("no pseudo-terminal for a simulated device");
        const std::string path = ptsname(d->master);
        // Held open so that the master stays readable between the service's jobs.
        d->slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (d->slave < 0 || tcgetattr(d->slave, &tio) != 0)
            throw std::runtime_error("cannot set up " + path);
        cfmakeraw(&tio);
        tcsetattr(d->slave, TCSANOW, &tio);
        paths_.push_back(path);
        const int fd = d->master;
        d->thread = std::thread([this, fd, baud, i] {
            DeviceModel::Options options;
            options.address = 1;  // as a device fresh from the box, and the configuration's default
            DeviceModel device(options);
            std::string error;
            loadTableText(kSeed, device, error);
            PacedOutput out(fd, baud);
            std::mt19937 random(uint32_t(1000 + i));
            unsigned char buf[256];
            while (!stopping_) {
                pollfd watch{fd, POLLIN, 0};
                const int ready = poll(&watch, 1, 500);
                if (ready == 0) {
                    // A customer at the till now and then, while no host holds the line.
                    if (!device.inLine() && random() % 8 == 0 && !device.table().empty()) {
                        auto it = device.table().begin();
                        std::advance(it, long(random() % device.table().size()));
                        device.sell(it->second.code, int64_t(1000 * (1 + random() % 3)));
                    }
                    continue;
                }
                const ssize_t n = ready > 0 ? read(fd, buf, sizeof buf) : -1;
                if (n <= 0) {
                    usleep(100000);  // a failing read is tried again, calmly
                    continue;
                }
                out.pace(size_t(n));
                for (ssize_t k = 0; k < n; ++k) device.feed(buf[k], out);
            }
        });
        devices_.push_back(std::move(d));
    }
}

SimulatedDevices::~SimulatedDevices() {
    stopping_ = true;
    devices_.clear();
}

}  // namespace velko::serve
