// The record's text fields on their way to the device, and article names between the host's
// Windows-1250 letters and the device's 7-bit text, in which nine punctuation characters stand
// for the nine Polish letters.
#include <cstring>

#include "link/velko_comm.h"

namespace velko {
namespace {

struct Letter {
    uint8_t upper, lower, device;
};

constexpr Letter kLetters[] = {
    {0x8C, 0x9C, 0x5E},  // Ś ^
    {0x8F, 0x9F, 0x27},  // Ź '
    {0xA3, 0xB3, 0x29},  // Ł )
    {0xA5, 0xB9, 0x24},  // Ą $
    {0xAF, 0xBF, 0x5F},  // Ż _
    {0xC6, 0xE6, 0x5B},  // Ć [
    {0xCA, 0xEA, 0x28},  // Ę (
    {0xD1, 0xF1, 0x5C},  // Ń backslash
    {0xD3, 0xF3, 0x5D},  // Ó ]
};

uint8_t toDevice(uint8_t c) {
    for (const Letter& l : kLetters) {
        if (c == l.upper || c == l.lower) return l.device;
    }
    return c >= 'a' && c <= 'z' ? uint8_t(c - 'a' + 'A') : c;
}

uint8_t toHost(uint8_t c) {
    for (const Letter& l : kLetters) {
        if (c == l.device) return l.upper;
    }
    return c;
}

}  // namespace

bool recordText(const char* field, size_t width, size_t* length) {
    *length = strnlen(field, width);
    return std::memchr(field, ';', *length) == nullptr;
}

void VELKOComm::encodeName(const char* text, size_t maxLen, std::string& out) {
    out.clear();
    for (size_t i = 0; i < maxLen && text[i]; ++i) out.push_back(char(toDevice(uint8_t(text[i]))));
}

std::string VELKOComm::encodeName(const char* text) {
    std::string out;
    encodeName(text, std::strlen(text), out);
    return out;
}

std::string VELKOComm::decodeName(const char* text) {
    std::string out(text);
    for (char& c : out) c = char(toHost(uint8_t(c)));
    return out;
}

}  // namespace velko
