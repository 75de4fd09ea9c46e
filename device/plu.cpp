#include "device/plu.h"

#include <cstring>

#include "device/archive.h"

namespace velko {
namespace {

SerialObject* createPlu() {
    return new Plu();
}

// One buffer per thread: callers on different lines (threads) each keep the text until their
// own next call, as a single caller always could.
thread_local char formatBuffer[15];

}  // namespace

RuntimeType Plu::type{"Plu", 1, createPlu, &SerialObject::rootType};

const RuntimeType* Plu::registerType() {
    static const RuntimeType* const entered = RuntimeType::enter(type);
    return entered;
}

bool Plu::parse(const char* text) {
    std::memset(bcd_, 0, sizeof bcd_);
    const size_t n = std::strlen(text);
    if (n == 0 || n > 14) return false;
    bool allZero = true;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const size_t digit = 14 - n + i;
        const uint8_t value = uint8_t(c - '0');
        bcd_[digit / 2] |= digit % 2 ? value : uint8_t(value << 4);
        allZero = allZero && value == 0;
    }
    return !allZero;
}

const char* Plu::format() const {
    for (int digit = 0; digit < 14; ++digit) {
        const uint8_t byte = bcd_[digit / 2];
        formatBuffer[digit] = char('0' + (digit % 2 ? byte & 0x0F : byte >> 4));
    }
    formatBuffer[14] = '\0';
    return formatBuffer;
}

void Plu::serialize(Archive& archive) {
    for (uint8_t& b : bcd_) {
        if (archive.isStoring()) {
            archive.writeByte(b);
        } else {
            archive.readByte(&b);
        }
    }
}

}  // namespace velko
