// Moments as the API and the chain's messages write them: RFC 3339 with the offset required.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace velko::http {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (Howard Hinnant's
// algorithm): the C library's timegm is not on every platform, and mktime is local.
int64_t daysFromCivil(int64_t y, int m, int d);

// "2026-12-11T08:00:00+01:00" or "...Z" as a moment; nullopt for anything else, a 30 February
// included.
std::optional<std::time_t> parseMoment(const std::string& text);

}  // namespace velko::http
