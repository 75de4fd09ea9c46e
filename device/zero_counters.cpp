#include "link/velko_comm.h"

namespace velko {

int32_t VELKOComm::zeroCounters(int32_t port, uint32_t baud, uint8_t deviceNumber,
                                ReplyString& sessionText, ReplyString* confirmation,
                                bool* requestSent) {
    trace("\n%t START VELKOComm::zeroCounters");
    if (requestSent) *requestSent = false;
    int32_t rc = initInLineMode(port, baud, deviceNumber, sessionText);
    if (rc != VELKO_OK) return rc;
    rc = sendFrame("B;");
    if (rc != VELKO_OK) return rc;
    if (requestSent) *requestSent = true;
    // Zeroing takes the device a while: its confirmation gets a longer wait than other replies.
    setBeginFrameTimeout(30000);
    ReplyString reply;
    rc = receiveFrame(reply, true);
    if (rc != VELKO_OK) return rc;
    if (confirmation) *confirmation = reply;
    if (reply != "D") refusal_ = reply;
    return endInLineMode();
}

}  // namespace velko
