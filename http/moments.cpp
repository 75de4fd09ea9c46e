#include "http/moments.h"

#include <cctype>
#include <cstdio>

namespace velko::http {
namespace {

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

}  // namespace

int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::optional<std::time_t> parseMoment(const std::string& text) {
    int y, mo, d, h, mi, s, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[Tt]%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s,
                    &used) != 6 ||
        used != 19)
        return std::nullopt;
    size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        for (++at; at < text.size() && std::isdigit(uint8_t(text[at]));) ++at;
    }
    int64_t offset = 0;
    if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        offset = 0;
    } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') &&
               text[at + 3] == ':' && std::isdigit(uint8_t(text[at + 1])) &&
               std::isdigit(uint8_t(text[at + 2])) && std::isdigit(uint8_t(text[at + 4])) &&
               std::isdigit(uint8_t(text[at + 5]))) {
        const int oh = std::stoi(text.substr(at + 1, 2)), om = std::stoi(text.substr(at + 4, 2));
        if (oh > 23 || om > 59) return std::nullopt;
        offset = (text[at] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    } else {
        return std::nullopt;
    }
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo) || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    // The last moment a four-digit year writes: a leap second or an offset past it would come
    // back as a year no form here can write.
    const int64_t moment = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset;
    if (moment > 253402300799) return std::nullopt;  // 9999-12-31T23:59:59Z
    return std::time_t(moment);
}

}  // namespace velko::http
