#include "sim/sim_line.h"

#include <algorithm>

namespace velko {

class SimPort : public PortDevice {
  public:
    explicit SimPort(SimLine& line) : line_(line) {}
    ~SimPort() override { ++line_.closes; }

    bool applyLineSetup(const LineSetup& setup) override {
        line_.setups.push_back(setup);
        return line_.refusedBauds.count(setup.baudRate) == 0;
    }
    bool applyTimeouts(const Timeouts& t) override {
        line_.timeouts.push_back(t);
        if (line_.refuseTimeouts) return false;
        if (line_.refuseReadTimeouts && t.readsAreLimited()) return false;
        timeouts_ = t;
        return true;
    }
    bool setQueueSizes(uint32_t input, uint32_t output) override {
        line_.queueSizes.push_back(input);
        line_.queueSizes.push_back(output);
        return !line_.refuseQueues;
    }
    bool read(void* buf, uint32_t count, uint32_t* got) override {
        return line_.hostRead(timeouts_, static_cast<uint8_t*>(buf), count, got);
    }
    bool write(const void* buf, uint32_t count, uint32_t* written) override {
        return line_.hostWrite(static_cast<const uint8_t*>(buf), count, written);
    }
    bool discardInput() override { return line_.hostDiscard(); }

  private:
    SimLine& line_;
    Timeouts timeouts_;
};

std::unique_ptr<PortDevice> SimLine::openPort(int32_t port, std::string& why) {
    opened.push_back(port);
    if (portMissing) {
        why = "no such device";
        return nullptr;
    }
    return std::make_unique<SimPort>(*this);
}

void SimLine::sleep(uint32_t ms) {
    if (keepHistory) sleeps.push_back(ms);
    now_ += ms;
}

void SimLine::deliver(const Bytes& bytes, uint64_t delayMs) {
    if (head_ == inbound_.size()) {
        inbound_.clear();
        head_ = 0;
    } else if (head_ > 4096 && head_ * 2 > inbound_.size()) {
        inbound_.erase(inbound_.begin(), inbound_.begin() + long(head_));
        head_ = 0;
    }
    uint64_t at = now_ + delayMs;
    if (pendingInput()) at = std::max(at, inbound_.back().at);
    for (uint8_t b : bytes) inbound_.push_back({at, b});
}

bool SimLine::hostRead(const Timeouts& t, uint8_t* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (readsFail || dropped) return false;
    const bool limited = t.readsAreLimited();
    const uint64_t deadline = now_ + t.readLimitMs(count);
    while (*got < count) {
        if (!pendingInput() || (limited && inbound_[head_].at > deadline)) {
            // Nothing more will come in time. Without a limit the read would block forever,
            // which no test may rely on: it fails instead.
            if (!limited) return false;
            now_ = deadline;
            return true;
        }
        now_ = std::max(now_, inbound_[head_].at);
        buf[(*got)++] = inbound_[head_++].byte;
    }
    return true;
}

bool SimLine::hostDiscard() {
    ++discards;
    if (discardFails) return false;
    while (pendingInput() && inbound_[head_].at <= now_) {
        ++head_;
        ++discardedBytes;
    }
    return true;
}

bool SimLine::hostWrite(const uint8_t* buf, uint32_t count, uint32_t* written) {
    const int number = writeCount_++;
    *written = 0;
    if (number == failWriteNumber || dropped) return false;
    const uint32_t n = number == shortWriteNumber && count > 0 ? count - 1 : count;
    block_.assign(buf, buf + n);
    if (keepHistory) {
        written_.insert(written_.end(), block_.begin(), block_.end());
        writes_.push_back(block_);
    }
    *written = n;
    if (peer_) peer_(block_, *this);  // a peer must not write as the host from inside
    return true;
}

}  // namespace velko
