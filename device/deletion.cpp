#include <cstdio>
#include <cstring>

#include "link/velko_comm.h"

namespace velko {

int32_t VELKOComm::deleteArticles(int32_t port, uint32_t baud, uint8_t deviceNumber,
                                  ReplyString& sessionText, ArticleSupplier supplier,
                                  uint32_t userValue, int32_t& deleted, int32_t* refusedCount) {
    trace("\n%t START VELKOComm::deleteArticles");
    deleted = 0;
    int32_t refused = 0;
    if (refusedCount) *refusedCount = 0;
    if (!supplier) return VELKO_ERR_FORMAT;

    int32_t rc = initInLineMode(port, baud, deviceNumber, sessionText);
    if (rc != VELKO_OK) return rc;
    ArticleRecord record;
    std::memset(&record, 0, sizeof record);
    ReplyString reply;
    char command[24];  // "C0;" + at most 15 bytes of code + ";" and a NUL
    while (supplier(sessionText.c_str(), deleted + refused, &record, userValue) == 1) {
        size_t codeLen;
        if (!recordText(record.code, sizeof record.code, &codeLen)) return VELKO_ERR_FORMAT;
        std::snprintf(command, sizeof command, "C0;%.*s;", int(codeLen), record.code);
        if ((rc = sendFrame(command)) != VELKO_OK) return rc;
        if ((rc = receiveFrame(reply, true)) != VELKO_OK) return rc;
        if (reply == "D") {
            ++deleted;
            continue;
        }
        refusal_ = reply;
        if (!refusedCount) return VELKO_ERR_READ;
        *refusedCount = ++refused;
    }
    return endInLineMode();
}

}  // namespace velko
