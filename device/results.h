// Result codes in words, for people: the name, what it means and what to check.
#pragma once

#include <cstdint>

namespace velko {

struct ResultText {
    const char* name;     // "VELKO_ERR_READ"
    const char* meaning;  // "the device did not answer within 20 s ..."
    const char* check;    // "check the cable, ..."; empty when there is nothing to check
};

// The words for `rc`; an unknown code gets a text of its own.
const ResultText& resultText(int32_t rc);

// "NAME: meaning; check ..." on one line, in static storage.
const char* resultMessage(int32_t rc);

}  // namespace velko
