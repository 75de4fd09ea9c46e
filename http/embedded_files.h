// Files built into a program: its web page's and its API description, each program's table
// made by http/embed.cmake.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace velko::http {

struct EmbeddedFile {
    const char* name;
    const unsigned char* data;
    size_t size;
};

// The Content-Type of a page's file, by its name.
inline const char* contentTypeOf(const std::string& name) {
    const auto ends = [&](const char* ext) {
        const size_t n = std::strlen(ext);
        return name.size() >= n && name.compare(name.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".json")) return "application/json";
    return "application/octet-stream";
}

}  // namespace velko::http
