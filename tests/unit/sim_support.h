// Helpers shared by the tests on the simulated line.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "link/velko_comm.h"
#include "sim/device_model.h"
#include "sim/sim_line.h"

namespace velko::test {

// Three articles as the simulated device holds them, the second with sales.
inline const char* const kThree =
    "0;1;A;1;1.00;0;0.000;0.00;\n0;2;B;2;2.00;1;1.500;3.00;\n0;3;C;3;3.00;0;0.000;0.00;\n";

// Zeroes the counters of device 1 at 9600 baud on port 1.
inline int32_t zero(VELKOComm& link) {
    ReplyString session;
    return link.zeroCounters(1, 9600, 1, session);
}

// "0A 44 0D" -> bytes.
inline Bytes hex(const std::string& text) {
    Bytes out;
    unsigned value = 0;
    int n = 0;
    for (char c : text + " ") {
        if (c == ' ') {
            if (n) out.push_back(uint8_t(value));
            value = 0;
            n = 0;
        } else {
            value = value * 16 + unsigned(std::stoi(std::string(1, c), nullptr, 16));
            ++n;
        }
    }
    return out;
}

inline std::string hexOf(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Puts a device model at the far end of the line.
class DeviceOnLine : public DeviceModel::Output {
  public:
    DeviceOnLine(SimLine& line, DeviceModel::Options options = DeviceModel::Options())
        : line_(line), device(std::move(options)) {
        line_.setPeer([this](const Bytes& written, SimLine&) { device.feed(written, *this); });
    }
    void send(const Bytes& bytes, uint32_t delayMs) override { line_.deliver(bytes, delayMs); }
    void drop() override { line_.dropped = true; }

  private:
    SimLine& line_;

  public:
    DeviceModel device;
};

// Answers every frame the host completes (its two CRC bytes) with `reply`, as many times as
// given in `times`, then with 0x06.
inline void answerFrames(SimLine& line, Bytes reply, int times) {
    auto left = std::make_shared<int>(times);
    line.setPeer([reply, left](const Bytes& written, SimLine& l) {
        if (written.size() != 2) return;  // only the CRC transfer ends a frame
        if ((*left)-- > 0) {
            l.deliver(reply);
        } else {
            l.deliver(Bytes{0x06});
        }
    });
}

// A link on a fresh simulated line, opened on port 1 with the session's read limits.
struct OpenLink {
    explicit OpenLink(uint32_t tickStart = 0) : line(tickStart), link(line) {
        link.open(1, 9600);
        link.setReadTimeouts(200, 30);
    }
    SimLine line;
    VELKOComm link;
};

}  // namespace velko::test
