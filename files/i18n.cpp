#include "files/i18n.h"

#include <cstdarg>
#include <cstdio>

namespace velko::files {

std::string formatted(const char* text, ...) {
    va_list args, again;
    va_start(args, text);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, text, args);
    va_end(args);
    std::string out(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&out[0], out.size() + 1, text, again);
    va_end(again);
    return out;
}

}  // namespace velko::files
