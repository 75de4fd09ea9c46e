#include <cstdio>
#include <cstring>

#include "link/velko_comm.h"

namespace velko {

bool articleCommand(const ArticleRecord& record, std::string& name, ArticleCommand& frame) {
    size_t codeLen, nameLen;
    if (!recordText(record.code, sizeof record.code, &codeLen) ||
        !recordText(record.name, sizeof record.name, &nameLen))
        return false;
    VELKOComm::encodeName(record.name, nameLen, name);
    std::snprintf(frame, sizeof frame, "W0;%.*s;%s;%d;%ld;%d;", int(codeLen), record.code,
                  name.c_str(), int(record.group) + 1, long(record.price), record.flag ? 1 : 0);
    return true;
}

int32_t VELKOComm::sendArticles(int32_t port, uint32_t baud, uint8_t continueOnRefusal,
                                uint8_t skipFirstPreparation, uint8_t skipSecondPreparation,
                                uint8_t deviceNumber, ReplyString& sessionText,
                                ArticleSupplier supplier, UploadProgress progress,
                                uint32_t userValue, int32_t& accepted, int32_t& refused) {
    trace("\n%t START VELKOComm::sendArticles");
    accepted = 0;
    refused = 0;
    if (!supplier) return VELKO_ERR_FORMAT;

    int32_t rc = initInLineMode(port, baud, deviceNumber, sessionText);
    if (rc != VELKO_OK) return rc;
    ReplyString reply;
    const char* const preparations[2] = {skipFirstPreparation ? nullptr : "W38;1;1;",
                                         skipSecondPreparation ? nullptr : "W38;2;1;"};
    for (const char* command : preparations) {
        if (!command) continue;
        if ((rc = sendFrame(command)) != VELKO_OK) return rc;
        if ((rc = receiveFrame(reply, true)) != VELKO_OK) return rc;
    }

    ArticleRecord record;
    std::memset(&record, 0, sizeof record);
    std::string name;
    name.reserve(sizeof record.name);
    ArticleCommand frame;
    for (int32_t index = 0;; ++index) {
        if (supplier(sessionText.c_str(), index, &record, userValue) != 1) return endInLineMode();
        if (!articleCommand(record, name, frame)) return VELKO_ERR_FORMAT;
        if ((rc = sendFrame(frame)) != VELKO_OK) return rc;
        if ((rc = receiveFrame(reply, true)) != VELKO_OK) return rc;
        const bool isAccepted = reply == "D";
        if (!isAccepted) refusal_ = reply;
        ++(isAccepted ? accepted : refused);
        if (progress) {
            progress(sessionText.c_str(), index, &record, userValue, isAccepted ? 1 : 0, accepted,
                     refused);
        }
        if (!isAccepted && !continueOnRefusal) {
            rc = endInLineMode();
            return rc != VELKO_OK ? rc : VELKO_ERR_READ;
        }
    }
}

}  // namespace velko
