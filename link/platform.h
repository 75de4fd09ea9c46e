// The seam between the serial line and the operating system: one port device per open port,
// plus the clock. Win32, POSIX termios and the simulated line each implement it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velko {

// The line set-up, field for field as the Windows DCB holds it, so that every platform applies
// the same thing and the Win32 layer can copy it across without interpretation.
struct LineSetup {
    uint32_t dcbLength = 28;
    uint32_t baudRate = 0;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 1;  // enable: DTR raised while open
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = true;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = 0;  // disable: RTS held low
    bool fAbortOnError = true;
    uint16_t xonLim = 100;
    uint16_t xoffLim = 100;
    uint8_t byteSize = 8;
    uint8_t parity = 0;    // none
    uint8_t stopBits = 0;  // one

    // The DCB bit-field word these flags make.
    uint32_t flagWord() const {
        return uint32_t(fBinary) | uint32_t(fParity) << 1 | uint32_t(fOutxCtsFlow) << 2 |
               uint32_t(fOutxDsrFlow) << 3 | uint32_t(fDtrControl & 3) << 4 |
               uint32_t(fDsrSensitivity) << 6 | uint32_t(fTXContinueOnXoff) << 7 |
               uint32_t(fOutX) << 8 | uint32_t(fInX) << 9 | uint32_t(fErrorChar) << 10 |
               uint32_t(fNull) << 11 | uint32_t(fRtsControl & 3) << 12 |
               uint32_t(fAbortOnError) << 14;
    }
};

// Time limits in milliseconds, as the Windows COMMTIMEOUTS holds them. All zero: no limit.
struct Timeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;

    // Whether reads end at a time limit at all, and the limit of a read of `count` bytes.
    bool readsAreLimited() const { return readTotalConstant != 0 || readTotalMultiplier != 0; }
    uint64_t readLimitMs(uint32_t count) const {
        return readTotalConstant + uint64_t(count) * readTotalMultiplier;
    }
};

// One open port. Destroying it closes the port.
class PortDevice {
  public:
    virtual ~PortDevice() = default;
    virtual bool applyLineSetup(const LineSetup& setup) = 0;
    virtual bool applyTimeouts(const Timeouts& timeouts) = 0;
    virtual bool setQueueSizes(uint32_t input, uint32_t output) = 0;
    // Returns when count bytes arrived or the read time limit passed; true unless the read
    // itself failed. A read that times out succeeds with fewer bytes.
    virtual bool read(void* buf, uint32_t count, uint32_t* got) = 0;
    // Returns when every byte was sent; true unless the write failed.
    virtual bool write(const void* buf, uint32_t count, uint32_t* written) = 0;
    // Throws away what has arrived for the host and was not read yet, the driver's queue and
    // any read-ahead alike: a late reply to an earlier request. Bytes still on their way arrive
    // as usual. Returns at once; false when the line failed.
    virtual bool discardInput() = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;
    // Opens port number `port` exclusively; null when it does not exist or is held elsewhere,
    // with the cause in `why`: one short English phrase that names the line
    // ("no such device: /dev/ttyUSB9"). `why` is left alone when the port opens.
    virtual std::unique_ptr<PortDevice> openPort(int32_t port, std::string& why) = 0;
    virtual void sleep(uint32_t ms) = 0;
    // Milliseconds, wrapping after 2^32.
    virtual uint32_t tickCount() = 0;
};

// The operating system's own serial ports: com1, com2 on Windows, /dev/ttyS0, /dev/ttyS1 here.
Platform& systemPlatform();

// The name of port 1 of the system platform, the line used when none is named.
const char* firstPortName();

// A platform of its own whose port 1 is the named line: a device path, a COM name ("COM3",
// "\\.\COM10") or, where the platform has them, "tcp://HOST:PORT".
std::unique_ptr<Platform> platformForLine(const std::string& line);

}  // namespace velko
