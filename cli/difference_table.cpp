#include "cli/difference_table.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "files/i18n.h"  // _ and N_ are macros

namespace velko::cli {

using namespace velko::files;
using namespace velko::jobs;
namespace {

// Columns line up by characters, not bytes: a Polish letter is two bytes of UTF-8.
size_t displayWidth(const std::string& utf8) {
    return size_t(std::count_if(utf8.begin(), utf8.end(),
                                [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string differenceTable(const std::vector<DifferenceRow>& rows) {
    if (rows.empty()) return "";
    // TRANSLATORS: the headings of the table of a sync's changes or a verification's
    // differences: the article's code, what differs, in which field, the list's and the
    // device's value.
    std::vector<DifferenceRow> lines = {{_("code"), _("what"), _("field"), _("list"), _("device")}};
    lines.insert(lines.end(), rows.begin(), rows.end());
    std::array<size_t, 5> width{};
    for (const DifferenceRow& line : lines) {
        for (size_t c = 0; c < line.size(); ++c)
            width[c] = std::max(width[c], displayWidth(line[c]));
    }
    std::string text;
    for (const DifferenceRow& line : lines) {
        std::string row;
        for (size_t c = 0; c < line.size(); ++c) {
            row += line[c];
            if (c + 1 < line.size()) row += std::string(width[c] - displayWidth(line[c]) + 2, ' ');
        }
        row.erase(row.find_last_not_of(' ') + 1);
        text += row + "\n";
    }
    return text;
}

}  // namespace velko::cli
