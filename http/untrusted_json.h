// JSON from anyone on the network (a request's body, a broker's message, an answer a shop
// stored): its size and its nesting are bounded before it is parsed, because copying,
// comparing, printing and freeing a document go as deep as it does, and a document nested a
// hundred thousand levels takes the stack with it. And JSON text out of anything a program
// holds, whatever bytes its strings carry.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velko::http {

struct JsonLimits {
    size_t maxBytes = 8u << 20;
    int maxDepth = 32;  // arrays and objects within each other; price lists need three
};

// The document, or nothing with the reason in `error` ("nested deeper than 32 levels").
std::optional<nlohmann::ordered_json> parseUntrusted(const std::string& text, std::string& error,
                                                     const JsonLimits& limits = {});

// The text of `value` with any string that is not valid UTF-8 mended (U+FFFD for each bad
// byte) instead of an exception.
std::string safeDump(const nlohmann::ordered_json& value, int indent = -1);

}  // namespace velko::http
