// A line over raw TCP, as serial device servers offer a serial port on the network.
#pragma once

#include <memory>
#include <string>

#include "link/platform.h"

namespace velko {

// A socket has no serial set-up to apply: it keeps the read time limits, which its reads honour
// as a serial line's would. One implementation per platform: BSD sockets, or Winsock.
class SocketPort : public PortDevice {
  public:
    // A rate of 0 is refused as on any line; the rest is the server's business.
    bool applyLineSetup(const LineSetup& setup) override { return setup.baudRate != 0; }
    bool applyTimeouts(const Timeouts& t) override {
        timeouts_ = t;
        return true;
    }
    bool setQueueSizes(uint32_t, uint32_t) override { return true; }

  protected:
    Timeouts timeouts_;
};

// Connects to "HOST:PORT" (an IPv6 address in brackets), waiting at most 5 s; null when it
// cannot, with the cause in `why` ("tcp://HOST:PORT: connection refused", "...: host not
// found"). The line has the same read time limits as a serial one; its rate and framing are
// the server's business.
std::unique_ptr<PortDevice> openTcpPort(const std::string& hostAndPort, std::string& why);

// "HOST:PORT" or "[V6ADDRESS]:PORT" into the host and the port; false when there is no port.
inline bool splitHostAndPort(const std::string& text, std::string& host, std::string& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = text.substr(colon + 1);
    return true;
}

}  // namespace velko
