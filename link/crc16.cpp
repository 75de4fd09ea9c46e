#include "link/crc16.h"

#include <array>

namespace velko {
namespace {

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x8000) ? (reg << 1) ^ 0x8001 : reg << 1;
        table[i] = uint16_t(reg);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();
static_assert(kTable[1] == 0x8001 && kTable[2] == 0x8003 && kTable[3] == 0x0002 &&
                  kTable[7] == 0x8005,
              "CRC table differs from the device's");

}  // namespace

uint16_t crc16(const void* data, uint32_t count, uint16_t init) {
    const auto* p = static_cast<const unsigned char*>(data);
    unsigned reg = init;
    for (uint32_t i = 0; i < count; ++i)
        reg = kTable[((reg >> 8) ^ p[i]) & 0xFF] ^ ((reg << 8) & 0xFFFF);
    return uint16_t(reg);
}

}  // namespace velko
