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

bool sendable(unsigned char c) {
    return c >= 0x20 && c <= 0x7F;
}

}  // namespace

VELKOComm::VELKOComm(Platform& platform) : SerialPort(platform) {}

VELKOComm::~VELKOComm() {
    if (isOpen()) endInLineMode();
}

int32_t VELKOComm::send(const void* buf, int32_t len) {
    trace("\n%t START VELKOComm::send");
    if (traceSink_) {
        trace("\n\t count = %d, buff = ", int(len));
        const auto* bytes = static_cast<const unsigned char*>(buf);
        for (int32_t i = 0; i < len; ++i) trace("%x,", unsigned(bytes[i]));
    }
    uint32_t writeBytes = 0;
    if (len < 0 || !write(buf, uint32_t(len), &writeBytes)) {
        trace("\n%t VELKOComm::send, return VELKO_ERR_SEND, ! write( buf, len, & writeBytes )");
        return VELKO_ERR_SEND;
    }
    if (writeBytes != uint32_t(len)) {
        trace(
            "\n%t VELKOComm::send, writeBytes = %ld, return VELKO_ERR_SEND, writeBytes != "
            "(unsigned long)len",
            long(writeBytes));
        return VELKO_ERR_SEND;
    }
    trace("\n%t VELKOComm::send return VELKO_OK");
    return VELKO_OK;
}

int32_t VELKOComm::receive(void* buf, int32_t len) {
    trace("\n%t START VELKOComm::receive");
    trace("\n\t count = %d", int(len));
    uint32_t readBytes = 0;
    if (len < 0 || !read(buf, uint32_t(len), &readBytes)) {
        trace("\n%t VELKOComm::receive, return VELKO_ERR_READ, ! read( buf, len, & readBytes )");
        return VELKO_ERR_READ;
    }
    if (readBytes != uint32_t(len)) {
        trace(
            "\n%t VELKOComm::receive, readBytes = %ld, return VELKO_ERR_READ, readBytes != "
            "(unsigned long)len",
            long(readBytes));
        return VELKO_ERR_READ;
    }
    trace("\n%t VELKOComm::receive return VELKO_OK");
    return VELKO_OK;
}

int32_t VELKOComm::sendFrame(const char* s) {
    trace("\n%t START VELKOComm::sendFrame");
    if (traceSink_) {
        trace("\n\ts = ");
        for (const char* p = s; *p; ++p) trace("%x ", int(static_cast<signed char>(*p)));
        trace("\n\ts (acsii) = %s", s);
    }
    const size_t len = std::strlen(s);
    if (len > MAX_FRAME_DATA_LEN) {
        trace(
            "\n%t VELKOComm::sendFrame, return VELKO_ERR_FORMAT, strlen( s ) > "
            "MAX_FRAME_DATA_LEN");
        return VELKO_ERR_FORMAT;
    }
    for (size_t i = 0; i < len; ++i) {
        if (!sendable(static_cast<unsigned char>(s[i]))) {
            trace(
                "\n%t VELKOComm::sendFrame, i = %d, return VELKO_ERR_FORMAT,  s[ i ] < 0x20 || "
                "(unsigned char)s[ i ] > 0x7f",
                int(i));
            return VELKO_ERR_FORMAT;
        }
    }
    const uint16_t crc = crc16(&kEndText, 1, crc16(s, uint32_t(len), 0));
    const unsigned char crcBytes[2] = {uint8_t(crc >> 8), uint8_t(crc & 0xFF)};
    for (int i = 0; i < MAX_FRAME_REPEAT; ++i) {
        trace("\n%t VELKOComm::sendFrame, i = %d, for( i = 0; i < MAX_FRAME_REPEAT; i ++ )", i);
        pause(100);
        int32_t rc = send(&kBeginFrame, 1);
        if (rc == VELKO_OK) rc = send(s, int32_t(len));
        if (rc == VELKO_OK) rc = send(&kEndText, 1);
        if (rc == VELKO_OK) rc = send(crcBytes, 2);
        if (rc != VELKO_OK) return rc;
        if (receiveAck() == VELKO_OK) {
            trace("\n%t VELKOComm::sendFrame, return VELKO_OK, receiveAck() == VELKO_OK");
            return VELKO_OK;
        }
        trace("\n%t VELKOComm::sendFrame, receiveAck() != VELKO_OK");
    }
    trace("\n%t VELKOComm::sendFrame, return VELKO_ERR_SEND");
    return VELKO_ERR_SEND;
}

int32_t VELKOComm::receiveFrame(ReplyString& s, bool acknowledge) {
    trace("\n%t START VELKOComm::receiveFrame");
    s.clear();
    settle();  // the wait for the frame starts when the line is listened to
    const uint32_t t0 = platform().tickCount();
    trace("\n%t VELKOComm::receiveFrame, timeout = %ld", long(t0));
    unsigned char c = 0;
    for (;;) {
        if (receive(&c, 1) == VELKO_OK) {
            trace("\n%t VELKOComm::receiveFrame, c = %x, receive( & c, 1 ) == VELKO_OK",
                  unsigned(c));
            if (c == kBeginFrame) {
                trace("\n%t VELKOComm::receiveFrame, received begin frame character");
                break;
            }
        } else {
            trace("\n%t VELKOComm::receiveFrame, receive( & c, 1 ) != VELKO_OK");
        }
        const uint32_t t = platform().tickCount();
        trace("\n%t VELKOComm::receiveFrame, t = %ld", long(t));
        const uint32_t dt = t >= t0 ? t - t0 : (0xFFFFFFFFu - t0) + t;
        trace("\n%t VELKOComm::receiveFrame, dt = %ld", long(dt));
        if (dt > beginFrameTimeout_) {
            trace("\n%t VELKOComm::receiveFrame, return VELKO_ERR_READ, dt > beginFrameTimeout");
            return VELKO_ERR_READ;
        }
    }
    uint16_t crc = 0;
    int32_t rc = receive(&c, 1);
    if (rc != VELKO_OK) return rc;
    for (;;) {
        trace("\n%t VELKOComm::receiveFrame, c = %x, receive( & c, 1 )", unsigned(c));
        crc = crc16(&c, 1, crc);
        if (c == kEndText) break;
        if (!sendable(c)) {
            trace("\n%t VELKOComm::receiveFrame, return VELKO_ERR_FORMAT, c < 0x20 || c > 0x7f");
            return VELKO_ERR_FORMAT;
        }
        s.push_back(char(c));
        if (s.size() > MAX_FRAME_DATA_LEN) {
            trace(
                "\n%t VELKOComm::receiveFrame, return VELKO_ERR_FORMAT, s.GetLength() > "
                "MAX_FRAME_DATA_LEN");
            return VELKO_ERR_FORMAT;
        }
        rc = receive(&c, 1);
        if (rc != VELKO_OK) return rc;
    }
    trace("\n%t VELKOComm::receiveFrame, received frame (without crc)");
    unsigned char crcBuf[2];
    rc = receive(crcBuf, 2);
    if (rc != VELKO_OK) return rc;
    if (crcBuf[0] != (crc >> 8) || crcBuf[1] != (crc & 0xFF)) {
        trace(
            "\n%t VELKOComm::receiveFrame, crcBuf = %x %x, crc = %x, return VELKO_ERR_CRC, "
            "crcBuf[ 0 ] != (crc >> 8) || crcBuf[ 1 ] != (crc & 0x0ff)",
            unsigned(crcBuf[0]), unsigned(crcBuf[1]), unsigned(crc));
        return VELKO_ERR_CRC;
    }
    trace("\n%t VELKOComm::receiveFrame, crc OK");
    if (acknowledge) {
        rc = sendAck();
        if (rc != VELKO_OK) return rc;
    }
    trace("\n%t START VELKOComm::receiveFrame, return VELKO_OK");
    return VELKO_OK;
}

int32_t VELKOComm::sendAck() {
    trace("\n%t START VELKOComm::sendAck");
    const int32_t rc = send(&kAck, 1);
    if (rc != VELKO_OK) return rc;
    pause(20);
    trace("\n%t VELKOComm::sendAck, return VELKO_OK");
    return VELKO_OK;
}

int32_t VELKOComm::receiveAck() {
    trace("\n%t START VELKOComm::receiveAck");
    unsigned char c = 0;
    const int32_t rc = receive(&c, 1);
    if (rc != VELKO_OK) return rc;
    if (c == kAck) {
        trace("\n%t START VELKOComm::receiveAck, return VELKO_OK");
        return VELKO_OK;
    }
    trace("\n%t START VELKOComm::receiveAck, c = %x, return VELKO_ERR_READ", unsigned(c));
    return VELKO_ERR_READ;
}

int32_t VELKOComm::sendFF(int32_t count) {
    trace("\n%t START VELKOComm::sendFF( %d )", int(count));
    for (int32_t i = 0; i < count; ++i) {
        const int32_t rc = send(&kWake, 1);
        if (rc != VELKO_OK) return rc;
    }
    trace("\n%t VELKOComm::sendFF, return VELKO_OK");
    return VELKO_OK;
}

int32_t VELKOComm::endInLineMode() {
    trace("\n%t START VELKOComm::endInLineMode");
    const int32_t rc = send(kEndInLine, 2);
    close();
    return rc;
}

}  // namespace velko
