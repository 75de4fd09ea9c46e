#include "serve/prices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "jobs/host.h"

namespace velko::serve {
namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (Howard Hinnant's
// algorithm): the C library's timegm is not on every platform, and mktime is local.
int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

// Seconds the broken-down time is ahead of the same fields read as UTC.
int64_t asUtc(const std::tm& t) {
    return daysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 +
           t.tm_min * 60 + t.tm_sec;
}

// The history with runs of one price as one step (a change of name alone makes a point too).
std::vector<PricePoint> steps(const std::vector<PricePoint>& history) {
    std::vector<PricePoint> out;
    for (const PricePoint& p : history) {
        if (out.empty() || out.back().price != p.price) out.push_back(p);
    }
    return out;
}

}  // namespace

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
    return std::time_t(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offset);
}

std::string localMoment(std::time_t when) {
    const std::tm local = cli::localTime(when);
    const int64_t offset = asUtc(local) - int64_t(when);
    const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', int(minutes / 60),
                  int(minutes % 60));
    return text;
}

LowestPrice lowestPrice(const std::vector<PricePoint>& history, std::time_t at, int days,
                        bool perishable) {
    LowestPrice out;
    const std::vector<PricePoint> s = steps(history);
    const auto after = std::upper_bound(
        s.begin(), s.end(), at, [](std::time_t t, const PricePoint& p) { return t < p.at; });
    if (after == s.begin() || !std::prev(after)->price) return out;
    const size_t now = size_t(after - s.begin()) - 1;
    out.price = s[now].price;
    const std::time_t span = std::time_t(days) * 86400;

    // Whether step i brought the price down; a reduction counts from its first step down, as
    // long as each came within `days` of the last.
    const auto down = [&](size_t i) {
        return i > 0 && s[i - 1].price && *s[i - 1].price > *s[i].price;
    };
    out.reduction = down(now);
    size_t first = now;
    while (out.reduction && down(first - 1) && s[now].at - s[first - 1].at < span) --first;
    out.stepped = first < now;
    const std::time_t end = out.reduction ? s[first].at : at;
    out.reducedAt = out.reduction ? end : 0;
    if (out.reduction && perishable) {
        out.lowest = s[first - 1].price;
        out.rule = "perishable";
        return out;
    }
    // Since when the article has been on the device without a break, up to `end`.
    size_t since = out.reduction ? first - 1 : now;
    while (since > 0 && s[since - 1].price) --since;
    std::time_t from = end - span;
    out.rule = out.reduction ? "days" : "no_reduction";
    if (out.reduction && s[since].at > from) {
        from = s[since].at;
        out.rule = "since_first_appeared";
    }
    // Every price in force at some moment of [from, end): a step counts while it lasted.
    for (size_t i = since; i < s.size() && s[i].at < end; ++i) {
        const std::time_t until = i + 1 < s.size() ? s[i + 1].at : end;
        if (until <= from || !s[i].price) continue;
        if (!out.lowest || *s[i].price < *out.lowest) out.lowest = s[i].price;
    }
    if (!out.reduction) out.lowest = std::min(out.lowest.value_or(*out.price), *out.price);
    // Every price before the reduction came within the same second as the next (the history
    // keeps whole seconds): the one just before it stands.
    if (out.reduction && !out.lowest) out.lowest = s[first - 1].price;
    return out;
}

}  // namespace velko::serve
