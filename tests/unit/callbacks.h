// Suppliers and consumers for the job tests. The library hands callbacks only a 32-bit value,
// too small for a pointer here, so the test's callback state is found through a static.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "velko/velko.h"

namespace velko::test {

inline ArticleRecord article(const char* code, const char* name, int32_t price, int8_t group = 0,
                             uint8_t flag = 0) {
    ArticleRecord r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.code, code, std::min(std::strlen(code), sizeof r.code - 1));
    std::memcpy(r.name, name, std::min(std::strlen(name), sizeof r.name - 1));
    r.price = price;
    r.group = group;
    r.flag = flag;
    return r;
}

struct CallbackLog {
    struct Call {
        std::string sessionText;
        int32_t index;
        uint32_t userValue;
        ArticleRecord record;
        int32_t outcome, accepted, refused;  // progress calls only
    };
    std::vector<Call> supplierCalls, consumerCalls, progressCalls;
};

// Supplies `articles` in turn, then answers `endValue`.
struct Supply {
    std::vector<ArticleRecord> articles;
    int32_t endValue = 0;
    CallbackLog log;
    // Runs inside a callback, before it returns (for calls back into the library).
    void (*during)(int32_t index) = nullptr;

    static Supply*& current() {
        static Supply* s = nullptr;
        return s;
    }
    Supply() { current() = this; }
    ~Supply() { current() = nullptr; }

    static int32_t VELKO_CALL supplier(const char* sessionText, int32_t index,
                                       ArticleRecord* record, uint32_t userValue) {
        Supply& s = *current();
        s.log.supplierCalls.push_back({sessionText, index, userValue, *record, 0, 0, 0});
        if (s.during) s.during(index);
        const size_t next = s.log.supplierCalls.size() - 1;
        if (next >= s.articles.size()) return s.endValue;
        *record = s.articles[next];
        return 1;
    }
    static int32_t VELKO_CALL progress(const char* sessionText, int32_t index,
                                       const ArticleRecord* record, uint32_t userValue,
                                       int32_t outcome, int32_t accepted, int32_t refused) {
        current()->log.progressCalls.push_back(
            {sessionText, index, userValue, *record, outcome, accepted, refused});
        return 0;
    }
};

// Takes articles, answering 1 for the first `accept` of them and `stopValue` after.
struct Consume {
    int accept = 1 << 30;
    int32_t stopValue = 0;
    CallbackLog log;

    static Consume*& current() {
        static Consume* c = nullptr;
        return c;
    }
    Consume() { current() = this; }
    ~Consume() { current() = nullptr; }

    static int32_t VELKO_CALL consumer(const char* sessionText, int32_t index,
                                       ArticleRecord* record, uint32_t userValue) {
        Consume& c = *current();
        c.log.consumerCalls.push_back({sessionText, index, userValue, *record, 0, 0, 0});
        return int(c.log.consumerCalls.size()) <= c.accept ? 1 : c.stopValue;
    }
};

}  // namespace velko::test
