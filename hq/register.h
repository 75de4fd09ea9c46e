// The register of the chain as head office reads it, and a change to it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "hq/hq_store.h"

namespace velko::hq {

// What the register says of a store or one of its devices: "" when it is in service (or when
// no register is kept: a chain that never enrolled anything), else why it is not.
class Register {
  public:
    explicit Register(HqStore& store) : rows_(store.enrolled()) {}
    std::string standing(const std::string& store, const std::string& device = "") const;
    // Whether the register holds the device, in service.
    bool lists(const std::string& store, const std::string& device) const {
        const HqStore::Enrolled* d = row(store, device);
        return d && d->retired.empty();
    }

  private:
    const HqStore::Enrolled* row(const std::string& store, const std::string& device) const {
        const auto it = std::find_if(rows_.begin(), rows_.end(), [&](const auto& r) {
            return r.store == store && r.device == device;
        });
        return it == rows_.end() ? nullptr : &*it;
    }

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
