#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <tuple>

#include "jobs/host.h"

namespace velko::jobs {
namespace {

// The kernel makes a /dev/ttyS node for every UART it might have; one without hardware
// behind it has the type PORT_UNKNOWN, and opening it fails for want of a device.
bool isRealUart(const std::string& name) {
    const std::string path = "/dev/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        serial_struct info{};
        const bool known = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
        ::close(fd);
        return known;
    }
    if (errno != EACCES && errno != EPERM && errno != EBUSY) return false;
    // Not ours to open (another user's group, another program's exclusive line): the same
    // type as the kernel shows it to everyone. Such a line is then named with its cause.
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = PORT_UNKNOWN;
    return type >> value && value != PORT_UNKNOWN;
}

}  // namespace

std::vector<std::string> systemSerialLines() {
    struct Found {
        std::string prefix;
        long number;
        std::string name;
    };
    std::vector<Found> found;
    DIR* dev = opendir("/dev");
    if (!dev) return {};
    while (const dirent* entry = readdir(dev)) {
        const std::string name = entry->d_name;
        for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
            const size_t length = std::char_traits<char>::length(prefix);
            if (name.compare(0, length, prefix) != 0 || name.size() == length ||
                name.find_first_not_of("0123456789", length) != std::string::npos)
                continue;
            if (std::string(prefix) == "ttyS" && !isRealUart(name)) continue;
            found.push_back({prefix, std::strtol(name.c_str() + length, nullptr, 10), name});
        }
    }
    closedir(dev);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return std::tie(a.prefix, a.number) < std::tie(b.prefix, b.number);
    });
    std::vector<std::string> lines;
    for (const Found& f : found) lines.push_back("/dev/" + f.name);
    return lines;
}

std::tm localTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

}  // namespace velko::jobs
