#include "device/amount.h"

#include <cstdio>

namespace velko {

std::string formatAmount(int64_t value, int places) {
    int64_t scale = 1;
    for (int p = 0; p < places; ++p) scale *= 10;
    const int64_t magnitude = value < 0 ? -value : value;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%lld.%0*lld", value < 0 ? "-" : "",
                  (long long)(magnitude / scale), places, (long long)(magnitude % scale));
    return buf;
}

}  // namespace velko
