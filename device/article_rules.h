// What a code, a name, a price, a flag and a group may be on their way to the device: the one
// set of rules the tool, the extended API and the bindings ask, so an article refused by one is
// refused by all of them for the same reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "velko/velko.h"

namespace velko {

constexpr size_t kMaxCodeDigits = 14;
constexpr size_t kMaxNameChars = 18;
constexpr int kMinGroup = 0;
constexpr int kMaxGroup = 128;

// Why `code` cannot go to the device, or "" when it is 1 to 14 digits and not all zeros.
std::string codeProblem(const std::string& code);

// A code's number: "000123" and "123" are the same article to the device.
uint64_t codeNumber(const std::string& code);

// Whether the device shows the character `c`: printable ASCII and the 18 Polish letters.
bool deviceShows(char32_t c);

// The Polish letter (UTF-8) the device gives back for `c` when it uses `c` to stand for one
// ('(' comes back as "Ę"), or null.
const char* standInLetter(char32_t c);

// Why `record` (host Windows-1250 text) cannot go to the device as it stands, naming the field
// and its value: "name 'KAWA (250G)': '(' would come back as 'Ę' ...". Empty when it can.
std::string recordProblem(const ArticleRecord& record);

}  // namespace velko
