// Amounts in the device's text form: whole units, a point and a fixed number of decimals.
#pragma once

#include <cstdint>
#include <string>

namespace velko {

// `value` in units of 10^-places as the device lists it: "12.50", "-0.05", "3.500".
std::string formatAmount(int64_t value, int places);

}  // namespace velko
