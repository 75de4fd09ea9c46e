#include <cstdio>
#include <cstring>

#include "link/velko_comm.h"

namespace velko {

int32_t VELKOComm::deleteArticles(int32_t port, uint32_t baud, uint8_t deviceNumber,
                                  ReplyString& sessionText, ArticleSupplier supplier,
                                  uint32_t userValue, int32_t& deleted) {
    trace("\n%t START VELKOComm::deleteArticles");
    deleted = 0;
    if (!supplier) return VELKO_ERR_FORMAT;

    int32_t rc = initInLineMode(port, baud, deviceNumber, sessionText);
    if (rc != VELKO_OK) return rc;
    ArticleRecord record;
    std::memset(&record, 0, sizeof record);
    ReplyString reply;
    char command[24];  // "C0;" + at most 15 bytes of code + ";" and a NUL
    while (supplier(sessionText.c_str(), deleted, &record, userValue) == 1) {
        size_t codeLen;
        if (!recordText(record.code, sizeof record.code, &codeLen)) return VELKO_ERR_FORMAT;
        std::snprintf(command, sizeof command, "C0;%.*s;", int(codeLen), record.code);
        if ((rc = sendFrame(command)) != VELKO_OK) return rc;
        if ((rc = receiveFrame(reply, true)) != VELKO_OK) return rc;
        if (reply != "D") return VELKO_ERR_READ;
        ++deleted;
    }
    return endInLineMode();
}

}  // namespace velko
