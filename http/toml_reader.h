// What the service and head office read alike from their TOML configuration: a reader whose
// every fault names its line, and the [[token]] entries.
#pragma once

#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "http/limits.h"
#include "http/tokens.h"

namespace velko::http {

// Reads values out of a parsed file, each fault as "FILE:LINE: what is wrong".
class TomlReader {
  public:
    TomlReader(const std::string& file, std::vector<std::string>& faults)
        : file_(file), faults_(faults) {}

    void fault(const toml::node* at, const std::string& what) {
        const int line = at ? int(at->source().begin.line) : 0;
        faults_.push_back(file_ + ":" + std::to_string(line) + ": " + what);
    }

    // The string at `key` of `table` into `out`; a missing key leaves `out` unless required.
    bool text(const toml::table& table, const char* key, std::string& out, bool required) {
        const toml::node* node = table.get(key);
        if (!node) {
            if (required) fault(&table, std::string("'") + key + "' is missing");
            return false;
        }
        if (!node->is_string()) {
            fault(node, std::string("'") + key + "' must be text in quotes");
            return false;
        }
        out = **node->as_string();
        return true;
    }

    bool integer(const toml::table& table, const char* key, int64_t low, int64_t high,
                 int64_t& out) {
        const toml::node* node = table.get(key);
        if (!node) return false;
        if (!node->is_integer() || **node->as_integer() < low || **node->as_integer() > high) {
            fault(node, std::string("'") + key + "' must be a whole number from " +
                            std::to_string(low) + " to " + std::to_string(high));
            return false;
        }
        out = **node->as_integer();
        return true;
    }

    // Keys of `table` that are none of `known`: a typing slip would otherwise go unseen.
    void onlyKeys(const toml::table& table, std::initializer_list<const char*> known) {
        for (const auto& entry : table) {
            const std::string key(entry.first.str());
            const bool ours =
                std::any_of(known.begin(), known.end(), [&](const char* k) { return key == k; });
            if (!ours) fault(&entry.second, "unknown key '" + key + "'");
        }
    }

    // The array of tables at `key`, each handed to `each`.
    template <typename Each>
    void tables(const toml::table& root, const char* key, Each each) {
        const toml::node* node = root.get(key);
        if (!node) return;
        const toml::array* array = node->as_array();
        if (!array || !array->is_array_of_tables()) {
            fault(node, std::string("'") + key + "' must be written [[" + key + "]]");
            return;
        }
        for (const toml::node& item : *array) each(*item.as_table());
    }

  private:
    const std::string& file_;
    std::vector<std::string>& faults_;
};

// "8 MiB", "512 KiB", "100000" into bytes; 0 when it is none of these.
size_t byteSize(const std::string& text);

// What both programs' files say of their HTTP front: max_connections_per_address,
// max_headers, max_header_bytes and allowed_hosts. The caller lists them among its keys.
void readFront(TomlReader& read, const toml::table& root, Front& front);
#define VELKO_FRONT_KEYS \
    "max_connections_per_address", "max_headers", "max_header_bytes", "allowed_hosts"

// Parses `text`, or says where it is not TOML.
bool parseToml(const std::string& text, const std::string& file, toml::table& root,
               std::vector<std::string>& faults);

// The [[token]] entries, each secret long enough and used once.
std::vector<Token> readTokens(TomlReader& read, const toml::table& root);

}  // namespace velko::http
