// Files built into the service: the web page's and the API description.
#pragma once

#include <cstddef>
#include <string>

namespace velko::serve {

struct EmbeddedFile {
    const char* name;
    const unsigned char* data;
    size_t size;
};

// The file of that name ("index.html", "openapi.json"), or null.
const EmbeddedFile* embeddedFile(const std::string& name);

}  // namespace velko::serve
