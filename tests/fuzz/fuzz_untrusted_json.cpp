// JSON from the network: whatever the bytes, parsing ends in a document within the limits or
// a reason, and the document prints without an exception.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/untrusted_json.h"

namespace {

int depthOf(const nlohmann::ordered_json& j) {
    int deepest = 0;
    if (j.is_structured()) {
        for (const auto& child : j) deepest = std::max(deepest, depthOf(child));
        return deepest + 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const velko::http::JsonLimits limits{4096, 8};
    std::string error;
    const auto doc = velko::http::parseUntrusted(text, error, limits);
    if (!doc) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    if (size > limits.maxBytes || depthOf(*doc) > limits.maxDepth) __builtin_trap();
    velko::http::safeDump(*doc);
    return 0;
}
