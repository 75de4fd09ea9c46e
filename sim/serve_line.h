// The simulator's line to the host, one implementation per platform: a pseudo-terminal or a
// TCP port on Linux, a TCP port on Windows. Prints the line's name, then feeds what the host
// sends to the device and sends its answers back, until interrupted (or, on a terminal, until
// the line drops); a line on standard input is handed to `command` between bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/device_model.h"

namespace velko {

struct LineSettings {
    std::string link;         // also make this path a symbolic link to the terminal
    std::string tcpHost;      // with tcpPort >= 0: serve TCP on this address
    int tcpPort = -1;         // 0: any free port
    bool log = false;         // a line per frame and control byte, both ways, on stderr
    uint32_t paceBaud = 0;    // take each byte's wire time at this rate (0: none)
    uint32_t strictBaud = 0;  // hear the host only at this rate (terminals only; 0: any)
};

// The exit status: 0 once interrupted, 1 when the line could not be set up (said on stderr).
int serveLine(DeviceModel& device, const LineSettings& settings,
              const std::function<void(const std::string&)>& command);

// "HOST:PORT" or "PORT" (HOST 127.0.0.1) into its parts; false when it is neither.
bool parseTcp(const std::string& text, std::string& host, int& port);

}  // namespace velko
