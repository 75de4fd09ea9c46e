// The register of the chain as head office reads it, and a change to it.
#pragma once

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hq/hq_store.h"

namespace velko::hq {

using nlohmann::ordered_json;

// What the register says of a store or one of its devices: "" when it is in service (or when
// no register is kept: a chain that never enrolled anything), else why it is not.
class Register {
  public:
    explicit Register(HqStore& store) : rows_(store.enrolled()) {}
    std::string standing(const std::string& store, const std::string& device = "") const {
        if (rows_.empty()) return "";
        const auto row = [&](const std::string& d) {
            const auto it = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) {
                return r.store == store && r.device == d;
            });
            return it == rows_.end() ? nullptr : &*it;
        };
        const HqStore::Enrolled* shop = row("");
        if (!shop) return "store " + store + " is not in the register";
        if (!shop->retired.empty()) return "store " + store + " was retired " + shop->retired;
        if (device.empty()) return "";
        const HqStore::Enrolled* d = row(device);
        if (!d) return store + "/" + device + " is not in the register";
        if (!d->retired.empty()) return store + "/" + device + " was retired " + d->retired;
        return "";
    }
    // Whether the register holds the device, in service.
    bool lists(const std::string& store, const std::string& device) const {
        return std::any_of(rows_.begin(), rows_.end(), [&](const auto& r) {
            return r.store == store && r.device == device && r.retired.empty();
        });
    }

  private:
    std::vector<HqStore::Enrolled> rows_;
};

// A change to the register, from the command line or the API: OF is "store" or "device",
// CHANGE add, retire or rename, NAMES the store (and its device, or its new name). What it
// did ("store shop-1: retired"), or why it could not.
struct RegisterChange {
    bool done = false, badName = false;
    std::string said;
};
RegisterChange changeRegisterOf(HqStore& store, const std::string& of, const std::string& change,
                                const std::vector<std::string>& names);

}  // namespace velko::hq
