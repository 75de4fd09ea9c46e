#include <cstring>
#include <unordered_set>

#include "device/article_rules.h"
#include "device/plu.h"
#include "link/velko_comm.h"

namespace velko {
namespace {

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Skips leading blanks and a sign, as "%d" does; true, with `i` on the first digit, when a
// digit follows.
bool numberStart(const std::string& text, size_t& i, bool& negative) {
    i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    return i < text.size() && isDigit(text[i]);
}

// A signed decimal integer at the front of `text`, as "%d" reads it; text after it is
// ignored. False when no digit comes. Saturates far beyond any 32-bit value.
bool readInteger(const std::string& text, long long* value) {
    size_t i;
    bool negative;
    if (!numberStart(text, i, negative)) return false;
    long long v = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        if (v < (1LL << 40)) v = v * 10 + (text[i] - '0');
    }
    *value = negative ? -v : v;
    return true;
}

// An amount the device writes as whole units, a point and up to `places` decimals ("12.50",
// "-1.5", "7"), in units of 10^-places. The digits after the point are decimal places: "12.5"
// is 12.50, not 12.05. An empty field, or one that does not start with a number, is 0; text
// after the number is ignored. False when there are more decimals than `places` or the amount
// does not fit in 32 bits.
bool readAmount(const std::string& text, int places, int32_t* amount) {
    *amount = 0;
    size_t i;
    bool negative;
    if (!numberStart(text, i, negative)) return true;
    long long scale = 1;
    for (int p = 0; p < places; ++p) scale *= 10;
    const long long limit = 2147483648LL;  // magnitude of the most negative 32-bit value
    long long value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value * scale > limit) return false;
    }
    value *= scale;
    if (i < text.size() && text[i] == '.') {
        long long unit = scale;
        for (++i; i < text.size() && isDigit(text[i]); ++i) {
            unit /= 10;
            if (unit == 0) return false;  // more decimals than the field holds
            value += (text[i] - '0') * unit;
        }
    }
    if (negative) value = -value;
    if (value > limit - 1 || value < -limit) return false;
    *amount = int32_t(value);
    return true;
}

}  // namespace

int32_t parseArticleReply(ReplyString& reply, ReplyString& field, ArticleRecord& record) {
    if (!nextField(reply, field) || field != "0") return VELKO_ERR_FORMAT;

    if (!nextField(reply, field)) return VELKO_ERR_FORMAT;
    Plu plu;
    if (!plu.parse(field.c_str())) return VELKO_ERR_FORMAT;
    std::memcpy(record.code, plu.format(), sizeof record.code);

    if (!nextField(reply, field)) return VELKO_ERR_FORMAT;
    const std::string name = VELKOComm::decodeName(field.c_str());
    // The field holds 18 characters and its NUL; a longer name is cut, never overrun.
    const size_t nameLen = name.size() < sizeof record.name ? name.size() : sizeof record.name - 1;
    std::memcpy(record.name, name.data(), nameLen);
    record.name[nameLen] = '\0';

    if (!nextField(reply, field)) return VELKO_ERR_FORMAT;
    long long group = 0;  // a group that cannot be read counts as the device's group 0
    readInteger(field, &group);
    record.group = int8_t(uint8_t(group - 1));

    // Amounts go through a local: the record is packed, so its members are not aligned for a
    // pointer of their type.
    int32_t amount = 0;
    if (!nextField(reply, field) || !readAmount(field, 2, &amount)) return VELKO_ERR_FORMAT;
    record.price = amount;

    if (!nextField(reply, field)) return VELKO_ERR_FORMAT;
    long long flag = 0;
    record.flag = readInteger(field, &flag) && flag == 1 ? 1 : 0;

    if (!nextField(reply, field) || !readAmount(field, 3, &amount)) return VELKO_ERR_FORMAT;
    record.quantityCounter = amount;
    if (!nextField(reply, field) || !readAmount(field, 2, &amount)) return VELKO_ERR_FORMAT;
    record.valueCounter = amount;
    return VELKO_OK;
}

int32_t VELKOComm::receiveArticles(int32_t port, uint32_t baud, uint8_t deviceNumber,
                                   ReplyString& sessionText, ArticleConsumer consumer,
                                   uint32_t userValue, int32_t& received) {
    trace("\n%t START VELKOComm::receiveArticles");
    received = 0;
    if (!consumer) return VELKO_ERR_FORMAT;

    int32_t rc = initInLineMode(port, baud, deviceNumber, sessionText);
    if (rc != VELKO_OK) return rc;
    if ((rc = sendFF(4)) != VELKO_OK) return rc;
    if ((rc = sendFrame("I0;1;")) != VELKO_OK) return rc;
    ArticleRecord record;
    ReplyString reply, field;
    // A device's table holds each code once: a code seen twice means the dialogue is out of
    // step (a stale reply read as an answer), and its figures must never become a report.
    std::unordered_set<uint64_t> codes;
    for (;;) {
        if ((rc = receiveFrame(reply, true)) != VELKO_OK) return rc;
        if (reply == "E") return VELKO_ERR_READ;
        if (reply == "D") return endInLineMode();
        // Cleared for every article, so no byte of an earlier one reaches the consumer.
        std::memset(&record, 0, sizeof record);
        if ((rc = parseArticleReply(reply, field, record)) != VELKO_OK) return rc;
        if (!codes
                 .insert(
                     codeNumber(std::string(record.code, strnlen(record.code, sizeof record.code))))
                 .second) {
            trace("\n%t VELKOComm::receiveArticles, code %s came twice", record.code);
            endInLineMode();
            return VELKO_ERR_FORMAT;
        }
        // The article's index is the number accepted before it.
        if (consumer(sessionText.c_str(), received, &record, userValue) != 1) {
            endInLineMode();
            return VELKO_ERR_ABORT;
        }
        ++received;
        if ((rc = sendFrame("G")) != VELKO_OK) return rc;
    }
}

}  // namespace velko
