// The article-reply parser and nextField on any text: a result code and a record whose text
// fields stay within their bytes and are NUL-terminated.
#include <cstring>

#include "link/velko_comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    velko::ReplyString reply = text, field;
    while (velko::nextField(reply, field)) {
        if (field.find(';') != std::string::npos) __builtin_trap();
    }
    reply = text;
    ArticleRecord record;
    std::memset(&record, 0x55, sizeof record);
    if (velko::parseArticleReply(reply, field, record) == VELKO_OK) {
        if (strnlen(record.code, sizeof record.code) != 14) __builtin_trap();
        if (strnlen(record.name, sizeof record.name) == sizeof record.name) __builtin_trap();
    }
    return 0;
}
