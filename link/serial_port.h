// One serial port, opened by number with the device's fixed line set-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
    // Why the port could not be opened, in one short English phrase: the platform's cause,
    // naming the line ("no such device: /dev/ttyUSB9", "tcp://host:4001: connection refused"),
    // or the step of the set-up the port refused ("the port does not take 12345 baud"). Empty
    // after a successful open. Set too when an open port refuses its read time limits or
    // cannot discard its input, which close it as a refused set-up does.
    const std::string& openFailure() const { return openFailure_; }
    // Closes the port once a pause still owed has passed.
    void close();
    bool isOpen() const { return device_ != nullptr; }

    // Read time limit: a read of n bytes gives up after constant + n * multiplier ms.
    // Refused limits close the port.
    bool setReadTimeouts(uint32_t constant, uint32_t multiplier);

    // Throws away what the line holds for the host and nobody read: a reply that came after
    // its request was given up. Bytes still on their way arrive as usual. A line that fails
    // meanwhile is closed.
    bool discardInput();

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
    std::string openFailure_;
    Timeouts timeouts_;
    uint32_t pauseFrom_ = 0;  // tick at which the pauses owed began
    uint32_t pauseMs_ = 0;    // their length; 0 when none is owed
};

}  // namespace velko
