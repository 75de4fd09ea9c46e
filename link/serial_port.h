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
    // Closes the port once a pause still owed has passed.
    void close();
    bool isOpen() const { return device_ != nullptr; }

    // Read time limit: a read of n bytes gives up after constant + n * multiplier ms.
    // Refused limits close the port.
    bool setReadTimeouts(uint32_t constant, uint32_t multiplier);

    bool read(void* buf, uint32_t count, uint32_t* got);
    bool write(const void* buf, uint32_t count, uint32_t* written);

    static LineSetup lineSetup(uint32_t baud);

    // Keeps the line quiet for `ms` before it is next used. Pauses in a row run as one: the
    // pause after an acknowledgement and the one before the next frame cost the host one
    // wake-up, not two, and what the caller does in between overlaps them.
    void pause(uint32_t ms);
    // Sleeps until the pauses owed have passed; every read, write and close does so first.
    void settle();

  protected:
    Platform& platform() { return platform_; }

  private:
    Platform& platform_;
    std::unique_ptr<PortDevice> device_;
    Timeouts timeouts_;
    uint32_t pauseFrom_ = 0;  // tick at which the pauses owed began
    uint32_t pauseMs_ = 0;    // their length; 0 when none is owed
};

}  // namespace velko
