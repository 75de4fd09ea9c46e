// Simulated devices inside the service, for trying it without a device: each answers on a
// pseudo-terminal of its own, as device number 1, at the wire pace of its rate, starts with a few
// articles, and rings up a sale now and then while no host is in line.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velko::serve {

class SimulatedDevices {
  public:
    // Starts `count` devices; their lines' paths are in paths(). Throws std::runtime_error
    // when a pseudo-terminal cannot be had.
    SimulatedDevices(int count, uint32_t baud);
    ~SimulatedDevices();
    const std::vector<std::string>& paths() const { return paths_; }

  private:
    struct Device;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::string> paths_;
};

}  // namespace velko::serve
