#include "files/file_text.h"

#include <array>

#include "files/article_file.h"

namespace velko::files {
namespace {

// The headings each column is known by, after normalHeading; the first is ours.
const std::array<std::vector<const char*>, ColumnCount> kHeadings = {{
    {"code", "kod", "kod kreskowy", "ean", "plu"},
    {"name", "nazwa", "nazwa towaru"},
    {"price", "cena", "cena brutto"},
    {"flag", "flaga"},
    {"group", "grupa"},
    {"quantity", "ilo\xC5\x9B\xC4\x87", "ilosc"},   // ilość
    {"value", "warto\xC5\x9B\xC4\x87", "wartosc"},  // wartość
}};

void appendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
        out += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
    } else {
        out += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)), char(0x80 | (c >> 6 & 0x3F)),
                char(0x80 | (c & 0x3F))};
    }
}

// Lower case for ASCII, Latin-1 and Latin Extended-A: every letter of the languages that
// Windows-1250 serves, Polish among them.
char32_t lower(char32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    const bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((evenUpper && c % 2 == 0) || (oddUpper && c % 2 == 1)) return c + 1;
    return c;
}

bool blank(char32_t c) {
    return c == ' ' || c == '\t' || c == 0xA0;
}

}  // namespace

std::string parseDelimiter(const std::string& text, char& delimiter) {
    if (text == "," || text == ";") {
        delimiter = text[0];
    } else if (text == "tab" || text == "\t") {
        delimiter = '\t';
    } else {
        return "'" + text + "' is not a delimiter: give ',', ';' or tab";
    }
    return "";
}

std::string parseEncoding(const std::string& text, Encoding& encoding) {
    const std::string name = normalHeading(text);
    if (name == "utf-8" || name == "utf8") {
        encoding = Encoding::Utf8;
    } else if (name == "windows-1250" || name == "cp1250") {
        encoding = Encoding::Windows1250;
    } else {
        return "'" + text + "' is not an encoding: give utf-8 or windows-1250";
    }
    return "";
}

std::string addColumnMapping(const std::string& text, ReadOptions& options) {
    const size_t equals = text.find_last_of('=');
    const std::string heading =
        normalHeading(text.substr(0, equals == std::string::npos ? 0 : equals));
    if (equals == std::string::npos || heading.empty())
        return "'" + text + "' is not HEADING=FIELD";
    const std::string field = normalHeading(text.substr(equals + 1));
    int column = field == "ignore" ? kIgnoredColumn : kNotOurColumn;
    for (int c = 0; c < ColumnCount; ++c) {
        if (field == kColumnNames[size_t(c)]) column = c;
    }
    if (column == kNotOurColumn) {
        std::string names;
        for (const char* name : kColumnNames) names += std::string(name) + ", ";
        return "'" + text + "': the field is one of " + names + "or ignore";
    }
    options.columns.emplace_back(heading, column);
    return "";
}

std::string normalHeading(const std::string& utf8) {
    std::vector<char32_t> chars;
    if (!decodeUtf8(utf8, chars)) {
        chars.clear();
        for (const char byte : utf8)
            chars.push_back(static_cast<unsigned char>(byte) < 0x80 ? char32_t(byte) : 0xFFFD);
    }
    std::string out;
    bool space = false;
    for (const char32_t c : chars) {
        if (blank(c)) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        appendUtf8(lower(c), out);
    }
    return out;
}

int columnOfHeading(const std::string& utf8, const ReadOptions& options) {
    const std::string heading = normalHeading(utf8);
    for (const auto& mapping : options.columns) {
        if (mapping.first == heading) return mapping.second;
    }
    for (int c = 0; c < ColumnCount; ++c) {
        for (const char* known : kHeadings[size_t(c)]) {
            if (heading == known) return c;
        }
    }
    return kNotOurColumn;
}

std::string headingsOf(int column) {
    std::string out;
    for (const char* known : kHeadings[size_t(column)])
        out += (out.empty() ? "" : ", ") + std::string(known);
    return out;
}

bool decodeUtf8(const std::string& text, std::vector<char32_t>& out) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80    ? 0
                          : lead >= 0xF0 ? 3
                          : lead >= 0xE0 ? 2
                          : lead >= 0xC2 ? 1
                                         : -1;
        if (extra < 0 || lead > 0xF4 || text.size() - i <= size_t(extra)) return false;
        char32_t cp = extra ? lead & (0x3F >> extra) : lead;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + size_t(k)]);
            if ((next & 0xC0) != 0x80) return false;
            cp = cp << 6 | (next & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        out.push_back(cp);
        i += size_t(extra) + 1;
    }
    return true;
}

bool isUtf8(const std::string& text) {
    std::vector<char32_t> ignored;
    return decodeUtf8(text, ignored);
}

}  // namespace velko::files
