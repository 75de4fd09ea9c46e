// A simulated serial line with a virtual clock: the host side is a Platform for VELKOComm, the
// far end is whatever peer the test puts there. Reads advance virtual time to the next byte or
// to their deadline and sleeps advance it, so a 20-second wait costs no real time.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "link/platform.h"

namespace velko {

using Bytes = std::vector<uint8_t>;

class SimLine : public Platform {
  public:
    // Called with each block the host writes, at the virtual time of the write.
    using Peer = std::function<void(const Bytes& written, SimLine& line)>;

    explicit SimLine(uint32_t tickStart = 0) : tickStart_(tickStart) { block_.reserve(512); }

    void setPeer(Peer peer) { peer_ = std::move(peer); }
    // Queues bytes for the host, arriving `delayMs` from now, after what is already queued.
    void deliver(const Bytes& bytes, uint64_t delayMs = 0);
    void deliver(const std::string& bytes, uint64_t delayMs = 0) {
        deliver(Bytes(bytes.begin(), bytes.end()), delayMs);
    }

    // Virtual milliseconds since the line was made.
    uint64_t now() const { return now_; }

    // Everything the host wrote, in order, and each write as one block.
    const Bytes& written() const { return written_; }
    const std::vector<Bytes>& writes() const { return writes_; }
    size_t pendingInput() const { return inbound_.size() - head_; }

    // What the platform was asked to do.
    std::vector<int32_t> opened;
    std::vector<LineSetup> setups;
    std::vector<Timeouts> timeouts;
    std::vector<uint32_t> queueSizes;
    int closes = 0;
    std::vector<uint32_t> sleeps;
    int discards = 0;           // discardInput calls
    size_t discardedBytes = 0;  // the bytes they threw away

    // Whether written(), writes() and sleeps keep what happened (off for long benchmarks).
    bool keepHistory = true;

    // Faults to inject.
    bool portMissing = false;         // openPort fails: "no such device"
    std::set<uint32_t> refusedBauds;  // applyLineSetup fails
    bool refuseTimeouts = false;      // every applyTimeouts fails
    bool refuseReadTimeouts = false;  // applyTimeouts with a read limit fails
    bool refuseQueues = false;        // setQueueSizes fails
    int failWriteNumber = -1;         // the write with this number (from 0) fails
    int shortWriteNumber = -1;        // ... or writes one byte less
    bool readsFail = false;           // every read fails at once
    bool discardFails = false;        // discardInput fails
    // The line is gone: what was on its way is lost, every read and write fails, as on a
    // terminal that hung up.
    bool dropped = false;

    std::unique_ptr<PortDevice> openPort(int32_t port, std::string& why) override;
    void sleep(uint32_t ms) override;
    uint32_t tickCount() override { return uint32_t(tickStart_ + now_); }

  private:
    friend class SimPort;
    struct Timed {
        uint64_t at;
        uint8_t byte;
    };
    bool hostRead(const Timeouts& t, uint8_t* buf, uint32_t count, uint32_t* got);
    bool hostWrite(const uint8_t* buf, uint32_t count, uint32_t* written);
    // Drops the bytes that have arrived by now; those due later still come.
    bool hostDiscard();

    uint32_t tickStart_;
    uint64_t now_ = 0;
    Peer peer_;
    // Bytes on their way to the host from head_ on; the spent front is dropped now and then,
    // so a long run reuses the same storage.
    std::vector<Timed> inbound_;
    size_t head_ = 0;
    Bytes block_;
    Bytes written_;
    std::vector<Bytes> writes_;
    int writeCount_ = 0;
};

}  // namespace velko
