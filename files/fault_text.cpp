#include "files/fault_text.h"

#include "files/i18n.h"  // N_: the templates go into the catalogue; the tool words them

namespace velko::files {
namespace {

struct Entry {
    const char* code;
    const char* text;
};

const Entry kTemplates[] = {
    {"missing", N_("missing")},
    {"semicolon", N_("holds ';', which the device reads as the end of a field")},
    {"code_not_digits", N_("'{value}' is not a code of 1 to 14 digits")},
    {"code_all_zeros", N_("'{value}' is all zeros")},
    {"name_not_utf8", N_("not valid UTF-8")},
    {"name_empty", N_("is empty; the device needs a name to show")},
    {"name_too_long", N_("'{value}' has {length} characters; the device keeps {limit}")},
    {"stand_in_letter",
     N_("'{char}' would come back as '{letter}': the device uses it for that letter")},
    {"char_not_shown", N_("character {codepoint} '{char}' cannot be shown by the device")},
    {"control_char",
     N_("character {codepoint} (a control character) cannot be shown by the device")},
    {"thousands_separator",
     N_("'{value}' has a thousands separator, and a point or a comma there could be read "
        "either way; write the amount without one (1234,50 or 1234.50)")},
    {"not_an_amount",
     N_("'{value}' is not an amount with at most {places} decimals within {low} and {high}")},
    {"not_a_whole_number", N_("'{value}' is not a whole number from {low} to {high}")},
};

}  // namespace

const char* faultTemplate(const std::string& code) {
    for (const Entry& e : kTemplates) {
        if (code == e.code) return e.text;
    }
    return nullptr;
}

std::string renderTemplate(const std::string& text, const FaultParams& params) {
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t open = text.find('{', at);
        const size_t close = open == std::string::npos ? open : text.find('}', open);
        if (close == std::string::npos) return out + text.substr(at);
        const auto param = params.find(text.substr(open + 1, close - open - 1));
        out += text.substr(at, open - at);
        out += param == params.end() ? text.substr(open, close - open + 1) : param->second;
        at = close + 1;
    }
}

}  // namespace velko::files
