#include "link/serial_port.h"

#include <string>

namespace velko {

LineSetup SerialPort::lineSetup(uint32_t baud) {
    LineSetup setup;
    setup.baudRate = baud;
    return setup;
}

bool SerialPort::open(int32_t port, uint32_t baud) {
    openFailure_.clear();
    std::string why;
    device_ = platform_.openPort(port, why);
    if (!device_) {
        openFailure_ = why.empty() ? "port " + std::to_string(port) + " could not be opened" : why;
        return false;
    }
    timeouts_ = Timeouts();
    if (!device_->applyLineSetup(lineSetup(baud))) {
        openFailure_ = "the port does not take " + std::to_string(baud) + " baud";
    } else if (!device_->applyTimeouts(timeouts_)) {
        openFailure_ = "the port refused its time limits";
    } else if (!device_->setQueueSizes(1024, 1024)) {
        openFailure_ = "the port refused its queue sizes";
    } else {
        return true;
    }
    close();
    return false;
}

void SerialPort::close() {
    settle();
    device_.reset();
}

void SerialPort::pause(uint32_t ms) {
    const uint32_t now = platform_.tickCount();
    if (uint32_t(now - pauseFrom_) >= pauseMs_) {  // the earlier pauses are over already
        pauseFrom_ = now;
        pauseMs_ = 0;
    }
    pauseMs_ += ms;
}

void SerialPort::settle() {
    if (pauseMs_ == 0) return;
    const uint32_t spent = platform_.tickCount() - pauseFrom_;
    if (spent < pauseMs_) platform_.sleep(pauseMs_ - spent);
    pauseMs_ = 0;
}

bool SerialPort::setReadTimeouts(uint32_t constant, uint32_t multiplier) {
    if (!device_) return false;
    Timeouts t;
    t.readTotalConstant = constant;
    t.readTotalMultiplier = multiplier;
    if (!device_->applyTimeouts(t)) {
        close();
        openFailure_ = "the port refused its read time limits";
        return false;
    }
    timeouts_ = t;
    return true;
}

bool SerialPort::discardInput() {
    if (!device_) return false;
    settle();  // what arrives during a pause still owed is as stale as what came before it
    if (device_->discardInput()) return true;
    close();
    openFailure_ = "the line closed or failed while its stale input was discarded";
    return false;
}

bool SerialPort::read(void* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!device_) return false;
    settle();
    const uint32_t start = platform_.tickCount();
    if (device_->read(buf, count, got)) return true;
    // A port that fails at once (after a line error or a hang-up) would otherwise make a
    // caller that waits for a frame start spin on it: a failed read lasts as long as a
    // timed-out one.
    const uint64_t limit = timeouts_.readLimitMs(count);
    const uint32_t spent = platform_.tickCount() - start;
    if (spent < limit) platform_.sleep(uint32_t(limit - spent));
    return false;
}

bool SerialPort::write(const void* buf, uint32_t count, uint32_t* written) {
    *written = 0;
    if (!device_) return false;
    settle();
    return device_->write(buf, count, written);
}

}  // namespace velko
