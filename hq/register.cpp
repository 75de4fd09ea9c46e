#include "hq/register.h"

#include <ctime>

#include "http/guard.h"
#include "http/moments.h"

namespace velko::hq {

std::string Register::standing(const std::string& store, const std::string& device) const {
    if (rows_.empty()) return "";
    const HqStore::Enrolled* shop = row(store, "");
    if (!shop) return "store " + store + " is not in the register";
    if (!shop->retired.empty()) return "store " + store + " was retired " + shop->retired;
    if (device.empty()) return "";
    const HqStore::Enrolled* d = row(store, device);
    if (!d) return store + "/" + device + " is not in the register";
    if (!d->retired.empty()) return store + "/" + device + " was retired " + d->retired;
    return "";
}

RegisterChange changeRegisterOf(HqStore& store, const std::string& of, const std::string& change,
                                const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (!http::goodName(name))
            return {false, true, "'" + name + "': names are letters, digits, '-' and '_'"};
    }
    const bool device = of == "device";
    const std::string what = device ? names[0] + "/" + names[1] : names[0];
    bool done = true;
    if (change == "add") {
        store.enrol(names[0], device ? names[1] : "");
    } else if (change == "retire") {
        done = store.retire(names[0], device ? names[1] : "", http::utcText(std::time(nullptr)));
    } else {
        done = store.rename(names[0], names[1]);
    }
    if (!done)
        return {
            false, false,
            what + ": " +
                (change == "rename" ? "'" + names[1] + "' is taken, or '" + names[0] + "' unknown"
                                    : std::string("not in service in the register"))};
    return {true, false,
            of + " " + what + ": " +
                (change == "add"      ? "in service"
                 : change == "retire" ? "retired"
                                      : "now " + names[1])};
}

}  // namespace velko::hq
