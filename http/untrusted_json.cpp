#include "http/untrusted_json.h"

namespace velko::http {
namespace {

// The deepest nesting of `text`, read as JSON's tokens are (brackets inside strings do not
// count), stopping as soon as it passes `limit`.
int nestingDepth(const std::string& text, int limit) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit) return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<nlohmann::ordered_json> parseUntrusted(const std::string& text, std::string& error,
                                                     const JsonLimits& limits) {
    if (text.size() > limits.maxBytes) {
        error = "the JSON is over " + std::to_string(limits.maxBytes) + " bytes";
        return std::nullopt;
    }
    if (nestingDepth(text, limits.maxDepth) > limits.maxDepth) {
        error = "the JSON is nested deeper than " + std::to_string(limits.maxDepth) + " levels";
        return std::nullopt;
    }
    auto doc = nlohmann::ordered_json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        error = "the JSON cannot be read";
        return std::nullopt;
    }
    return doc;
}

std::string safeDump(const nlohmann::ordered_json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace velko::http
