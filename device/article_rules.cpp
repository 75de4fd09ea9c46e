#include "device/article_rules.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace velko {
namespace {

// The 18 Polish letters as Unicode and as the host's Windows-1250 bytes, in the same order.
constexpr char32_t kPolish[] = {0x104, 0x105, 0x106, 0x107, 0x118, 0x119, 0x141, 0x142, 0x143,
                                0x144, 0xD3,  0xF3,  0x15A, 0x15B, 0x179, 0x17A, 0x17B, 0x17C};
constexpr uint8_t kPolishHost[] = {0xA5, 0xB9, 0xC6, 0xE6, 0xCA, 0xEA, 0xA3, 0xB3, 0xD1,
                                   0xF1, 0xD3, 0xF3, 0x8C, 0x9C, 0x8F, 0x9F, 0xAF, 0xBF};

// The nine characters the device uses for Polish letters, with the letter each comes back as.
constexpr struct {
    char ascii;
    const char* letter;
} kStandIns[] = {{'$', "Ą"},  {'\'', "Ź"}, {')', "Ł"}, {'(', "Ę"}, {'[', "Ć"},
                 {'\\', "Ń"}, {']', "Ó"},  {'^', "Ś"}, {'_', "Ż"}};

// A record's text for a message: printable ASCII as it is, Polish letters in UTF-8, any other
// byte as \xNN, so the message stays readable whatever the caller put there.
std::string shown(const char* text, size_t length) {
    std::string out = "'";
    for (size_t i = 0; i < length; ++i) {
        const auto c = uint8_t(text[i]);
        const void* polish = std::memchr(kPolishHost, c, sizeof kPolishHost);
        char buf[8];
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else if (polish) {
            const char32_t u = kPolish[static_cast<const uint8_t*>(polish) - kPolishHost];
            out += char(0xC0 | u >> 6);
            out += char(0x80 | (u & 0x3F));
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "'";
}

}  // namespace

std::string codeProblem(const std::string& code) {
    if (code.empty() || code.size() > kMaxCodeDigits ||
        code.find_first_not_of("0123456789") != std::string::npos)
        return "is not a code of 1 to 14 digits";
    if (code.find_first_not_of('0') == std::string::npos) return "is all zeros";
    return "";
}

uint64_t codeNumber(const std::string& code) {
    uint64_t n = 0;
    for (char c : code) n = n * 10 + uint64_t(c - '0');
    return n;
}

bool deviceShows(char32_t c) {
    return (c >= 0x20 && c < 0x7F) ||
           std::find(std::begin(kPolish), std::end(kPolish), c) != std::end(kPolish);
}

const char* standInLetter(char32_t c) {
    for (const auto& s : kStandIns) {
        if (c == char32_t(s.ascii)) return s.letter;
    }
    return nullptr;
}

std::string recordProblem(const ArticleRecord& r) {
    const size_t codeLen = strnlen(r.code, sizeof r.code);
    const std::string code(r.code, codeLen);
    if (codeLen == sizeof r.code)
        return "code " + shown(r.code, codeLen) + " has no terminating NUL";
    const std::string codeWrong = codeProblem(code);
    if (!codeWrong.empty()) return "code " + shown(r.code, codeLen) + " " + codeWrong;

    const size_t nameLen = strnlen(r.name, sizeof r.name);
    const std::string name = "name " + shown(r.name, nameLen);
    if (nameLen == sizeof r.name) return name + " has no terminating NUL within 19 bytes";
    if (nameLen == 0) return "name is empty";
    for (size_t i = 0; i < nameLen; ++i) {
        const auto c = uint8_t(r.name[i]);
        if (const char* letter = standInLetter(c)) {
            return name + ": '" + char(c) + "' would come back as '" + letter +
                   "': the device uses it for that letter";
        }
        if (c == ';') return name + " holds ';', which the device reads as the end of a field";
        const bool polish = std::memchr(kPolishHost, c, sizeof kPolishHost) != nullptr;
        if (!polish && !(c >= 0x20 && c < 0x7F)) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02X", c);
            return name + ": byte " + byte +
                   " is no character the device shows (printable ASCII and the Polish letters "
                   "in Windows-1250)";
        }
    }
    if (r.flag > 1) return "flag " + std::to_string(r.flag) + " is not 0 or 1";
    if (r.group < kMinGroup - 1) {
        return "group " + std::to_string(int(r.group) + 1) +
               " is not from 0 to 128 (the record holds the group minus 1)";
    }
    return "";
}

}  // namespace velko
