// One serial port, opened by number with the device's fixed line set-up.
#pragma once

#include <cstdint>
#include <memory>

#include "link/platform.h"

namespace velko {

class SerialPort {
  public:
    explicit SerialPort(Platform& platform) : platform_(platform) {}
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    virtual ~SerialPort() { close(); }

    // Opens port `port` at `baud`, 8N1, DTR on, RTS off, no flow control, no time limits.
    virtual bool open(int32_t port, uint32_t baud);
    void close() { device_.reset(); }
    bool isOpen() const { return device_ != nullptr; }

    // Read time limit: a read of n bytes gives up after constant + n * multiplier ms.
    // Refused limits close the port.
    bool setReadTimeouts(uint32_t constant, uint32_t multiplier);

    bool read(void* buf, uint32_t count, uint32_t* got);
    bool write(const void* buf, uint32_t count, uint32_t* written);

    static LineSetup lineSetup(uint32_t baud);

  protected:
    Platform& platform() { return platform_; }

  private:
    Platform& platform_;
    std::unique_ptr<PortDevice> device_;
    Timeouts timeouts_;
};

}  // namespace velko
