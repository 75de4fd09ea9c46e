#include "files/validate.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

#include "files/file_text.h"

namespace velko::files {
namespace {

// Whether `text` looks like an amount written with thousands separators: digits with a blank,
// or with both a point and a comma, or with one of them twice ("1 234,50", "1.234,50",
// "1,234.50", "1.234.567"). "1.234" and "1,234" are decimals, as they would be in Polish.
bool hasThousandsSeparator(const std::string& text) {
    size_t points = 0, commas = 0, blanks = 0;
    size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text[i] < '0' || text[i] > '9') return false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') continue;
        if (c == '.') {
            ++points;
        } else if (c == ',') {
            ++commas;
        } else if (c == ' ' || c == '\'') {
            ++blanks;
        } else if (text.compare(i, 2, "\xC2\xA0") == 0 || text.compare(i, 3, "\xE2\x80\xAF") == 0) {
            ++blanks;  // a no-break space, or a narrow one, as a spreadsheet may put them
            i += text[i] == '\xC2' ? 1 : 2;
        } else {
            return false;
        }
    }
    return blanks > 0 || (points > 0 && commas > 0) || points > 1 || commas > 1;
}

class RowChecker {
  public:
    RowChecker(const std::string& file, const Row& row, std::vector<Fault>& faults)
        : file_(file), row_(row), faults_(faults), before_(faults.size()) {}

    bool good() const { return faults_.size() == before_; }

    void fault(Column column, const std::string& code, FaultParams params = {}) {
        faults_.push_back({file_, row_.number, kColumnNames[size_t(column)],
                           renderTemplate(faultTemplate(code), params), code, std::move(params)});
    }

    // The cell's text, or null when the column is missing; a ';' anywhere is a fault of its
    // own, since the device would read it as the end of a field.
    const std::string* cell(Column column, bool required) {
        const auto& value = row_.cells[size_t(column)];
        if (!value) {
            if (required) fault(column, "missing");
            return nullptr;
        }
        if (value->find(';') != std::string::npos) {
            fault(column, "semicolon");
            return nullptr;
        }
        return &*value;
    }

    void code(ArticleRecord& r) {
        const std::string* text = cell(Code, true);
        if (!text) return;
        const std::string problem = codeProblem(*text);
        if (!problem.empty()) {
            return fault(Code, problem == "is all zeros" ? "code_all_zeros" : "code_not_digits",
                         {{"value", *text}});
        }
        std::memcpy(r.code, text->data(), text->size());
    }

    void name(ArticleRecord& r, TextCodec& codec, bool required) {
        const std::string* text = cell(Name, true);
        if (!text) return;
        std::vector<char32_t> chars;
        if (!decodeUtf8(*text, chars)) return fault(Name, "name_not_utf8");
        if (chars.empty() && required) fault(Name, "name_empty");
        if (chars.size() > kMaxNameChars) {
            fault(Name, "name_too_long",
                  {{"value", *text},
                   {"length", std::to_string(chars.size())},
                   {"limit", std::to_string(kMaxNameChars)}});
        }
        std::vector<char32_t> reported;
        for (size_t i = 0; i < chars.size(); ++i) {
            const char32_t c = chars[i];
            if (std::find(reported.begin(), reported.end(), c) != reported.end()) continue;
            reported.push_back(c);
            if (const char* letter = standInLetter(c)) {
                fault(Name, "stand_in_letter",
                      {{"char", std::string(1, char(c))}, {"letter", letter}});
            }
            if (!deviceShows(c)) {
                const std::string shown = printable(c);
                fault(Name, shown.empty() ? "control_char" : "char_not_shown",
                      {{"codepoint", "U+" + hex(c)}, {"char", shown}});
            }
        }
        std::string host;
        if (good() && codec.toHost(*text, host)) std::memcpy(r.name, host.data(), host.size());
    }

    // The amount of the cell; 0 when it is missing, empty and not required, or faulty.
    int32_t amount(Column column, int places, bool required) {
        int32_t value = 0;
        const std::string* text = cell(column, required);
        if (!text || (!required && text->empty())) return value;
        if (!parseAmount(*text, places, &value)) {
            if (hasThousandsSeparator(*text)) {
                fault(column, "thousands_separator", {{"value", *text}});
            } else {
                fault(column, "not_an_amount",
                      {{"value", *text},
                       {"places", std::to_string(places)},
                       {"low", places == 2 ? "-21474836.48" : "-2147483.648"},
                       {"high", places == 2 ? "21474836.47" : "2147483.647"}});
            }
        }
        return value;
    }

    // A small whole number; `fallback` when the column is missing or the cell empty.
    void number(Column column, int low, int high, int fallback, int* out) {
        *out = fallback;
        const std::string* text = cell(column, false);
        if (!text || text->empty()) return;
        int value = 0;
        bool digits = text->size() <= 3;
        for (size_t i = 0; digits && i < text->size(); ++i) {
            const char c = (*text)[i];
            digits = c >= '0' && c <= '9';
            value = value * 10 + (c - '0');
        }
        if (!digits || value < low || value > high) {
            return fault(
                column, "not_a_whole_number",
                {{"value", *text}, {"low", std::to_string(low)}, {"high", std::to_string(high)}});
        }
        *out = value;
    }

  private:
    static std::string hex(char32_t c) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04X", unsigned(c));
        return buf;
    }
    // The character as UTF-8; empty for a control character, which shows as nothing.
    static std::string printable(char32_t c) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return "";
        std::string utf8;
        if (c < 0x800) {
            utf8 = {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            utf8 = {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
        } else {
            utf8 = {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)),
                    char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
        }
        return utf8;
    }

    const std::string& file_;
    const Row& row_;
    std::vector<Fault>& faults_;
    size_t before_;
};

}  // namespace

bool parseAmount(const std::string& text, int places, int32_t* amount) {
    // A decimal point or a decimal comma: Polish lists write "4,50".
    size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const size_t wholeStart = i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (i - wholeStart > 12) return false;
        value = value * 10 + (text[i] - '0');
    }
    if (i == wholeStart) return false;
    int decimals = 0;
    if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++decimals) {
            if (decimals == places) return false;
            value = value * 10 + (text[i] - '0');
        }
        if (decimals == 0) return false;
    }
    if (i != text.size()) return false;
    for (; decimals < places; ++decimals) value *= 10;
    if (text[0] == '-') value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return false;
    *amount = int32_t(value);
    return true;
}

void validateRow(const std::string& file, const Row& row, RowUse use, TextCodec& codec,
                 std::vector<ArticleRecord>& records, std::vector<Fault>& faults) {
    ArticleRecord r;
    std::memset(&r, 0, sizeof r);
    RowChecker check(file, row, faults);
    check.code(r);
    if (use != RowUse::Codes) {
        check.name(r, codec, use == RowUse::Upload);
        r.price = check.amount(Price, 2, true);
        int flag = 0, group = 1;
        check.number(Flag, 0, 1, 0, &flag);
        check.number(Group, 0, 128, 1, &group);
        r.flag = uint8_t(flag);
        r.group = int8_t(group - 1);
    }
    if (use == RowUse::Table) {
        r.quantityCounter = check.amount(Quantity, 3, false);
        r.valueCounter = check.amount(Value, 2, false);
    }
    if (check.good()) records.push_back(r);
}

void validateRows(const std::string& file, const std::vector<Row>& rows, RowUse use,
                  TextCodec& codec, std::vector<ArticleRecord>& records,
                  std::vector<Fault>& faults) {
    for (const Row& row : rows) validateRow(file, row, use, codec, records, faults);
}

namespace {

// Reads rows with `read`, handing each to the sink it is given, and checks them as
// loadArticleFile says.
using RowReader = std::function<void(const RowSink&, FileLayout&)>;
void loadArticles(const std::string& file, const RowReader& read, RowUse use, TextCodec& codec,
                  std::vector<ArticleRecord>& records, std::vector<Fault>& faults,
                  std::vector<Fault>* warnings, FileLayout* layoutOut) {
    FileLayout own;
    FileLayout& layout = layoutOut ? *layoutOut : own;
    // A column the use needs and the header lacks is one fault of the header, not one of every
    // row; the reader knows the header before it hands on the first row.
    bool headerChecked = false, headerGood = true;
    auto checkHeader = [&] {
        headerChecked = true;
        if (!layout.header) return;
        for (const Column c : {Code, Name, Price}) {
            if (layout.columns[c] || (use == RowUse::Codes && c != Code)) continue;
            faults.push_back({file, layout.headerLine, kColumnNames[c],
                              std::string("missing from the header; headings taken for it: ") +
                                  headingsOf(c) +
                                  ", or any given with --column HEADING=" + kColumnNames[c]});
            headerGood = false;
        }
    };
    // Each good row's code number and row, to find a code that comes twice once all is read.
    std::vector<std::pair<uint64_t, int>> codes;
    read(
        [&](Row& row) {
            if (!headerChecked) checkHeader();
            if (!headerGood) return;
            const size_t before = records.size();
            validateRow(file, row, use, codec, records, faults);
            if (records.size() == before) return;
            const ArticleRecord& r = records.back();
            codes.emplace_back(codeNumber(r.code), row.number);
            if (warnings && use != RowUse::Codes && r.price < 0) {
                warnings->push_back({file, row.number, kColumnNames[Price],
                                     formatAmount(r.price, 2) +
                                         " is negative (a deposit return?); it is sent as it is"});
            }
        },
        layout);
    if (!headerChecked) checkHeader();
    std::sort(codes.begin(), codes.end());  // by code, then by row
    for (size_t i = 1; i < codes.size(); ++i) {
        if (codes[i].first != codes[i - 1].first) continue;
        faults.push_back({file, codes[i].second, kColumnNames[Code],
                          "the same code as row " + std::to_string(codes[i - 1].second) +
                              "; a list may name each code once"});
    }
}

}  // namespace

void loadArticleFile(const std::string& path, RowUse use, TextCodec& codec,
                     std::vector<ArticleRecord>& records, std::vector<Fault>& faults,
                     std::vector<Fault>* warnings, const ReadOptions& options, FileLayout* layout) {
    const auto read = [&](const RowSink& onRow, FileLayout& found) {
        readArticleFile(path, onRow, faults, options, &found);
    };
    loadArticles(path == "-" ? "standard input" : path, read, use, codec, records, faults, warnings,
                 layout);
}

void loadArticleText(const std::string& file, Format format, std::string text, RowUse use,
                     TextCodec& codec, std::vector<ArticleRecord>& records,
                     std::vector<Fault>& faults, std::vector<Fault>* warnings,
                     const ReadOptions& options) {
    const auto read = [&](const RowSink& onRow, FileLayout& found) {
        readArticleText(file, format, std::move(text), onRow, faults, options, &found);
    };
    loadArticles(file, read, use, codec, records, faults, warnings, nullptr);
}

}  // namespace velko::files
