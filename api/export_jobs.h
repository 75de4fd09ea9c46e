// What each exported function asks of the link: its arguments as the job takes them, a
// session text and counts of its own that the caller never sees.
#pragma once

#include "link/velko_comm.h"

namespace velko {

inline int32_t exportedDelete(VELKOComm& link, int32_t port, uint32_t baud, uint32_t deviceNumber,
                              ArticleSupplier supplier, uint32_t userValue) {
    ReplyString sessionText;
    int32_t deletedCount = 0;
    return link.deleteArticles(port, baud, uint8_t(deviceNumber), sessionText, supplier, userValue,
                               deletedCount);
}

inline int32_t exportedReceive(VELKOComm& link, int32_t port, uint32_t baud, uint32_t deviceNumber,
                               ArticleConsumer consumer, uint32_t userValue) {
    ReplyString sessionText;
    int32_t receivedCount = 0;
    return link.receiveArticles(port, baud, uint8_t(deviceNumber), sessionText, consumer, userValue,
                                receivedCount);
}

// An upload through the export always sends the first preparatory command, skips the second
// only when the low byte of its third argument says so, stops at the first refusal and
// reports no progress.
inline int32_t exportedSend(VELKOComm& link, int32_t port, uint32_t baud,
                            uint32_t skipSecondPreparation, uint32_t deviceNumber,
                            ArticleSupplier supplier, uint32_t userValue) {
    ReplyString sessionText;
    int32_t acceptedCount = 0, refusedCount = 0;
    return link.sendArticles(port, baud, 0, 0, uint8_t(skipSecondPreparation) != 0 ? 1 : 0,
                             uint8_t(deviceNumber), sessionText, supplier, nullptr, userValue,
                             acceptedCount, refusedCount);
}

inline int32_t exportedZero(VELKOComm& link, int32_t port, uint32_t baud, uint32_t deviceNumber) {
    ReplyString sessionText;
    return link.zeroCounters(port, baud, uint8_t(deviceNumber), sessionText);
}

}  // namespace velko
