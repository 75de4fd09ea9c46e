#include "article_scenario.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace velko::test {

namespace {

ArticleRecord make(const char* code, const char* name, int32_t price, int8_t group, uint8_t flag,
                   int32_t quantity = 0, int32_t value = 0) {
    ArticleRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.code, sizeof r.code, "%s", code);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.price = price;
    r.group = group;
    r.flag = flag;
    r.quantityCounter = quantity;
    r.valueCounter = value;
    return r;
}

// Names in Windows-1250: "Łódź", "żółw pączek", "Ćma (ęś)".
const ArticleRecord kUpload[] = {
    make("5", "\xA3\xF3\x64\x9F", 250, 0, 0),
    make("00000000001234", "\xBF\xF3\xB3w p\xB9\x63zek", -1999, 4, 1),
    make("12345678901234", "\xC6ma \xEA\x9C", 2147483647, -1, 7),
};
// What the device gives back: 14-digit codes, upper-case names, flag 0 or 1, counters.
const ArticleRecord kDownload[] = {
    make("00000000000005", "\xA3\xD3\x44\x8F", 250, 0, 0),
    make("00000000000900", "SOLD", 300, 1, 0, 12500, 3750),
    make("00000000001234", "\xAF\xD3\xA3W P\xA5\x43ZEK", -1999, 4, 1),
    make("12345678901234", "\xC6MA \xCA\x8C", 2147483647, -1, 1),
};

std::vector<ArticleRecord> received;
std::vector<std::string> toDelete;
int32_t nestedResult = -1;
const LibraryFunctions* lib = nullptr;

int32_t VELKO_CALL supplyUpload(const char*, int32_t index, ArticleRecord* record,
                                uint32_t userValue) {
    if (userValue != 0x1250 || index >= 3) return 0;
    // A call back into the library while this job runs is turned away.
    if (index == 1) nestedResult = lib->zeroCounters(1, 9600, 1);
    *record = kUpload[index];
    return 1;
}

int32_t VELKO_CALL supplyDeletion(const char*, int32_t index, ArticleRecord* record, uint32_t) {
    if (index >= int32_t(toDelete.size())) return 0;
    std::snprintf(record->code, sizeof record->code, "%s", toDelete[size_t(index)].c_str());
    return 1;
}

int32_t VELKO_CALL consume(const char*, int32_t index, ArticleRecord* record, uint32_t userValue) {
    if (userValue != 7 || index != int32_t(received.size())) return 0;
    received.push_back(*record);
    return 1;
}

// Byte for byte, but for the name bytes after its NUL, which carry no meaning.
bool same(const ArticleRecord& a, const ArticleRecord& b) {
    const size_t nameEnd = offsetof(ArticleRecord, name) + std::strlen(a.name) + 1;
    const auto* x = reinterpret_cast<const unsigned char*>(&a);
    const auto* y = reinterpret_cast<const unsigned char*>(&b);
    return std::memcmp(x, y, nameEnd) == 0 &&
           std::memcmp(x + offsetof(ArticleRecord, price), y + offsetof(ArticleRecord, price),
                       sizeof a - offsetof(ArticleRecord, price)) == 0;
}

}  // namespace

int runArticleScenario(const LibraryFunctions& f, void (*check)(bool ok, const char* what)) {
    lib = &f;
    int failed = 0;
    auto expect = [&](bool ok, const char* what) {
        check(ok, what);
        failed += ok ? 0 : 1;
    };
    auto download = [&](const char* what) {
        received.clear();
        expect(f.receiveArticles(1, 9600, 1, consume, 7) == VELKO_OK, what);
    };

    expect(f.sendArticles(1, 9600, 0, 1, supplyUpload, 0x1250) == VELKO_OK,
           "upload of three articles with Polish names");
    expect(nestedResult == VELKO_ERR_OPEN, "a call from inside a callback gets VELKO_ERR_OPEN");
    expect(f.sendArticles(1, 9600, 0, 1, nullptr, 0) == VELKO_ERR_FORMAT,
           "an upload without a supplier is a malformed request");

    download("download of the whole table");
    bool all = received.size() == 4;
    for (size_t i = 0; all && i < 4; ++i) all = same(received[i], kDownload[i]);
    expect(all, "every field of every downloaded record, byte for byte");

    toDelete = {"5", "00000000001234"};
    expect(f.deleteArticles(1, 9600, 1, supplyDeletion, 0) == VELKO_OK, "deletion of two codes");
    download("download after the deletion");
    expect(
        received.size() == 2 && same(received[0], kDownload[1]) && same(received[1], kDownload[3]),
        "the two other articles remain");

    toDelete = {"777"};
    expect(f.deleteArticles(1, 9600, 1, supplyDeletion, 0) == VELKO_ERR_READ,
           "deleting a code the device does not hold is refused");

    expect(f.zeroCounters(1, 9600, 1) == VELKO_OK, "zeroing the counters");
    download("download after zeroing");
    ArticleRecord zeroed = kDownload[1];
    zeroed.quantityCounter = zeroed.valueCounter = 0;
    expect(received.size() == 2 && same(received[0], zeroed), "the counters are zero");
    expect(f.receiveArticles(1, 9600, 1, nullptr, 0) == VELKO_ERR_FORMAT,
           "a download without a consumer is a malformed request");
    return failed;
}

}  // namespace velko::test
