// A line over raw TCP, as serial device servers offer a serial port on the network.
#pragma once

#include <memory>
#include <string>

#include "link/platform.h"

namespace velko {

// Connects to "HOST:PORT" (an IPv6 address in brackets), waiting at most 5 s; null when it
// cannot. The line has the same read time limits as a serial one; its rate and framing are
// the server's business.
std::unique_ptr<PortDevice> openTcpPort(const std::string& hostAndPort);

}  // namespace velko
