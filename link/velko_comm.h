// The link to one VELKO device: the serial port, the frame protocol on it, the in-line session
// and the jobs that run inside it.
#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"
#include "velko/velko.h"

namespace velko {

class TraceLog;

constexpr uint32_t MAX_FRAME_DATA_LEN = 256;
constexpr int MAX_FRAME_REPEAT = 10;

// A frame text received from the device; jobs take fields off its front with nextField.
using ReplyString = std::string;

// Takes the text before the first ';' of `reply` into `field` and leaves the text after it in
// `reply`. False, with both unchanged, when `reply` holds no ';'.
bool nextField(ReplyString& reply, ReplyString& field);

class VELKOComm : public SerialPort {
public:
    explicit VELKOComm(Platform& platform = systemPlatform());
    // Ends a session that is still open (end bytes, then close).
    ~VELKOComm() override;

    // Attaches a trace sink that the caller owns, or detaches it with null.
    void setTraceSink(TraceLog* sink) { traceSink_ = sink; }
    TraceLog* traceSink() const { return traceSink_; }

    void setBeginFrameTimeout(uint32_t ms) { beginFrameTimeout_ = ms; }
    uint32_t beginFrameTimeout() const { return beginFrameTimeout_; }

    // Exact-count transfers: anything short is VELKO_ERR_SEND / VELKO_ERR_READ.
    int32_t send(const void* buf, int32_t len);
    int32_t receive(void* buf, int32_t len);

    // Frames: 0x0A, text, 0x0D, CRC high, CRC low; each acknowledged with 0x06.
    int32_t sendFrame(const char* s);
    int32_t receiveFrame(ReplyString& s, bool acknowledge);
    int32_t sendAck();
    int32_t receiveAck();
    int32_t sendFF(int32_t count);

    // The in-line session every job runs in.
    int32_t initInLineMode(int32_t port, uint32_t baud, uint8_t deviceNumber,
                           ReplyString& sessionText);
    int32_t endInLineMode();

    // Jobs.
    int32_t zeroCounters(int32_t port, uint32_t baud, uint8_t deviceNumber,
                         ReplyString& sessionText);

private:
    TraceLog* traceSink_ = nullptr;
    uint32_t beginFrameTimeout_ = 5000;
};

}  // namespace velko
