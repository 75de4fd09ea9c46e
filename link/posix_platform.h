// Serial ports through POSIX termios. Port N is /dev/ttyS(N-1) unless mapped to another path.
#pragma once

#include <map>
#include <string>

#include "link/platform.h"

namespace velko {

class PosixPlatform : public Platform {
  public:
    // Opens `path` for port `port` instead of the default device.
    void mapPort(int32_t port, std::string path) { paths_[port] = std::move(path); }
    std::string pathOf(int32_t port) const;

    std::unique_ptr<PortDevice> openPort(int32_t port, std::string& why) override;
    void sleep(uint32_t ms) override;
    uint32_t tickCount() override;

  private:
    std::map<int32_t, std::string> paths_;
};

// Opens a terminal device path exclusively for reading and writing; null on failure, with the
// cause in `why` ("no such device: /dev/ttyUSB9", "/dev/ttyUSB0 is held by another program
// (process 1234)").
std::unique_ptr<PortDevice> openPosixPort(const std::string& path, std::string& why);
std::unique_ptr<PortDevice> openPosixPort(const std::string& path);

}  // namespace velko
