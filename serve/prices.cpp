#include "serve/prices.h"

#include <algorithm>
#include <cstdio>

#include "http/moments.h"
#include "jobs/host.h"

namespace velko::serve {
namespace {

// Seconds the broken-down time is ahead of the same fields read as UTC.
int64_t asUtc(const std::tm& t) {
    return http::daysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 +
           t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
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

std::string localMoment(std::time_t when) {
    const std::tm local = jobs::localTime(when);
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
