#include "link/velko_comm.h"

namespace velko {
namespace {

constexpr uint32_t kReadTimeoutConstant = 200;
constexpr uint32_t kReadTimeoutPerByte = 30;
constexpr int32_t kWakeBytes = 4;

// A six-digit answer field is all the device needs to say; anything else asks for "S".
bool isSixDigits(const ReplyString& s) {
    if (s.size() != 6) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

bool nextField(ReplyString& reply, ReplyString& field) {
    const size_t at = reply.find(';');
    if (at == ReplyString::npos) return false;
    field.assign(reply, 0, at);
    reply.erase(0, at + 1);
    return true;
}

uint32_t VELKOComm::unansweredWaitMs(uint32_t firstAnswerWait) {
    constexpr uint32_t oneByteRead = kReadTimeoutConstant + kReadTimeoutPerByte;
    return (firstAnswerWait / oneByteRead + 1) * oneByteRead;
}

int32_t VELKOComm::initInLineMode(int32_t port, uint32_t baud, uint8_t deviceNumber,
                                  ReplyString& sessionText) {
    trace("\n%t START VELKOComm::initInLineMode");
    refusal_.clear();
    if (port < 1 || port > 2) return VELKO_ERR_PORT;
    if (deviceNumber > 99) return VELKO_ERR_ADDRESS;
    if (!open(port, baud)) return VELKO_ERR_OPEN;
    if (!setReadTimeouts(kReadTimeoutConstant, kReadTimeoutPerByte)) return VELKO_ERR_OPEN;
    // A reply that came after its job gave up on it (a counter reset answered late, a job
    // interrupted while the device still spoke) would be read as the answer to this session.
    if (!discardInput()) return VELKO_ERR_OPEN;
    setBeginFrameTimeout(firstAnswerWait_);
    int32_t rc = sendFF(kWakeBytes);
    if (rc != VELKO_OK) return rc;
    const char address[4] = {0x11, 0x11, char('0' + deviceNumber / 10),
                             char('0' + deviceNumber % 10)};
    rc = send(address, 4);
    if (rc != VELKO_OK) return rc;
    ReplyString reply;
    rc = receiveFrame(reply, true);
    setBeginFrameTimeout(SESSION_FRAME_TIMEOUT);
    if (rc != VELKO_OK) return rc;
    if (reply == "D") {
        sessionText.clear();
        return VELKO_OK;
    }
    if (!nextField(reply, sessionText)) return VELKO_ERR_FORMAT;
    if (reply.empty() && isSixDigits(sessionText)) return VELKO_OK;
    return sendFrame("S");
}

}  // namespace velko
