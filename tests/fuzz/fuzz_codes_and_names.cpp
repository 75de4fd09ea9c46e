// Plu::parse and format, its archive round trip, and the name conversions on any bytes.
#include <cstring>
#include <string>

#include "device/archive.h"
#include "device/plu.h"
#include "link/velko_comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    velko::Plu plu;
    if (plu.parse(text.c_str())) {
        // A code that parses formats back to its digits, zero-padded to 14.
        const std::string formatted = plu.format();
        if (formatted.size() != 14) __builtin_trap();
        const std::string digits = text.c_str();
        if (formatted.compare(14 - digits.size(), digits.size(), digits) != 0) __builtin_trap();
        std::string stored;
        {
            velko::Archive out([&](const uint8_t* b, size_t n) {
                stored.append(reinterpret_cast<const char*>(b), n);
            });
            plu.serialize(out);
        }
        size_t at = 0;
        velko::Archive in([&](uint8_t* b, size_t capacity) {
            const size_t n = std::min(capacity, stored.size() - at);
            std::memcpy(b, stored.data() + at, n);
            at += n;
            return n;
        });
        velko::Plu loaded;
        loaded.serialize(in);
        if (std::strcmp(loaded.format(), plu.format()) != 0) __builtin_trap();
    }
    // The device's text keeps the length of the name, and never holds a lower-case letter.
    const std::string device = velko::VELKOComm::encodeName(text.c_str());
    if (device.size() != std::strlen(text.c_str())) __builtin_trap();
    for (char c : device) {
        if (c >= 'a' && c <= 'z') __builtin_trap();
    }
    std::string limited;
    velko::VELKOComm::encodeName(text.c_str(), 18, limited);
    if (limited.size() > 18) __builtin_trap();
    velko::VELKOComm::decodeName(device.c_str());
    return 0;
}
