#include <cstring>

#include "link/crc16.h"
#include "link/velko_comm.h"

namespace velko {
namespace {

constexpr unsigned char kBeginFrame = 0x0A;
constexpr unsigned char kEndText = 0x0D;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kWake = 0xFF;
constexpr unsigned char kEndInLine[2] = {0x13, 0x13};

bool sendable(unsigned char c) { return c >= 0x20 && c <= 0x7F; }

}  // namespace

VELKOComm::VELKOComm(Platform& platform) : SerialPort(platform) {}

VELKOComm::~VELKOComm() {
    if (isOpen()) endInLineMode();
}

int32_t VELKOComm::send(const void* buf, int32_t len) {
    if (len < 0) return VELKO_ERR_SEND;
    uint32_t writeBytes = 0;
    if (!write(buf, uint32_t(len), &writeBytes)) return VELKO_ERR_SEND;
    if (writeBytes != uint32_t(len)) return VELKO_ERR_SEND;
    return VELKO_OK;
}

int32_t VELKOComm::receive(void* buf, int32_t len) {
    if (len < 0) return VELKO_ERR_READ;
    uint32_t readBytes = 0;
    if (!read(buf, uint32_t(len), &readBytes)) return VELKO_ERR_READ;
    if (readBytes != uint32_t(len)) return VELKO_ERR_READ;
    return VELKO_OK;
}

int32_t VELKOComm::sendFrame(const char* s) {
    const size_t len = std::strlen(s);
    if (len > MAX_FRAME_DATA_LEN) return VELKO_ERR_FORMAT;
    for (size_t i = 0; i < len; ++i) {
        if (!sendable(static_cast<unsigned char>(s[i]))) return VELKO_ERR_FORMAT;
    }
    const uint16_t crc = crc16(&kEndText, 1, crc16(s, uint32_t(len), 0));
    const unsigned char crcBytes[2] = {uint8_t(crc >> 8), uint8_t(crc & 0xFF)};
    for (int i = 0; i < MAX_FRAME_REPEAT; ++i) {
        platform().sleep(100);
        int32_t rc = send(&kBeginFrame, 1);
        if (rc == VELKO_OK) rc = send(s, int32_t(len));
        if (rc == VELKO_OK) rc = send(&kEndText, 1);
        if (rc == VELKO_OK) rc = send(crcBytes, 2);
        if (rc != VELKO_OK) return rc;
        if (receiveAck() == VELKO_OK) return VELKO_OK;
    }
    return VELKO_ERR_SEND;
}

int32_t VELKOComm::receiveFrame(ReplyString& s, bool acknowledge) {
    s.clear();
    const uint32_t t0 = platform().tickCount();
    unsigned char c = 0;
    for (;;) {
        if (receive(&c, 1) == VELKO_OK && c == kBeginFrame) break;
        const uint32_t t = platform().tickCount();
        const uint32_t dt = t >= t0 ? t - t0 : (0xFFFFFFFFu - t0) + t;
        if (dt > beginFrameTimeout_) return VELKO_ERR_READ;
    }
    uint16_t crc = 0;
    int32_t rc = receive(&c, 1);
    if (rc != VELKO_OK) return rc;
    for (;;) {
        crc = crc16(&c, 1, crc);
        if (c == kEndText) break;
        if (!sendable(c)) return VELKO_ERR_FORMAT;
        s.push_back(char(c));
        if (s.size() > MAX_FRAME_DATA_LEN) return VELKO_ERR_FORMAT;
        rc = receive(&c, 1);
        if (rc != VELKO_OK) return rc;
    }
    unsigned char crcBuf[2];
    rc = receive(crcBuf, 2);
    if (rc != VELKO_OK) return rc;
    if (crcBuf[0] != (crc >> 8) || crcBuf[1] != (crc & 0xFF)) return VELKO_ERR_CRC;
    if (acknowledge) {
        rc = sendAck();
        if (rc != VELKO_OK) return rc;
    }
    return VELKO_OK;
}

int32_t VELKOComm::sendAck() {
    const int32_t rc = send(&kAck, 1);
    if (rc != VELKO_OK) return rc;
    platform().sleep(20);
    return VELKO_OK;
}

int32_t VELKOComm::receiveAck() {
    unsigned char c = 0;
    const int32_t rc = receive(&c, 1);
    if (rc != VELKO_OK) return rc;
    return c == kAck ? VELKO_OK : VELKO_ERR_READ;
}

int32_t VELKOComm::sendFF(int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const int32_t rc = send(&kWake, 1);
        if (rc != VELKO_OK) return rc;
    }
    return VELKO_OK;
}

int32_t VELKOComm::endInLineMode() {
    const int32_t rc = send(kEndInLine, 2);
    close();
    return rc;
}

}  // namespace velko
