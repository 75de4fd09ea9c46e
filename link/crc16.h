#pragma once

#include <cstdint>

namespace velko {

// CRC-16 with polynomial 0x8001, most significant bit first, no reflection, no final XOR;
// `init` carries a running CRC from one call to the next.
uint16_t crc16(const void* data, uint32_t count, uint16_t init);

}  // namespace velko
