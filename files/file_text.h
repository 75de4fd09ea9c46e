// How the text of a CSV article file is read: its delimiter, its encoding and its headings,
// as the tool's options set them or the file shows them. Price lists come out of spreadsheets
// and shop programs, often Polish ones: ';' between fields, Windows-1250 text, headings such
// as "Kod" or "Cena brutto", and columns of their own (VAT rate, unit) beside ours.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace velko::files {

enum class Encoding {
    Detect,  // UTF-8 if the file is; Windows-1250 if it is not (see FieldDecoder)
    Utf8,
    Windows1250,
};

struct ReadOptions {
    char delimiter = 0;  // ',', ';' or '\t'; 0: found from the header line
    Encoding encoding = Encoding::Detect;
    // Headings (as normalHeading makes them) mapped to a column of ours, or to kIgnoredColumn;
    // they come before the headings the tool knows by itself.
    std::vector<std::pair<std::string, int>> columns;
};
constexpr int kIgnoredColumn = -2;
constexpr int kNotOurColumn = -1;

// The option texts, as given on the command line; each gives "" when understood, or says what
// is wrong with it.
std::string parseDelimiter(const std::string& text, char& delimiter);    // ",", ";", "tab"
std::string parseEncoding(const std::string& text, Encoding& encoding);  // "utf-8", "windows-1250"
// "HEADING=FIELD": FIELD one of the columns, or "ignore" to pass the column over.
std::string addColumnMapping(const std::string& text, ReadOptions& options);

// A heading as it is compared: blanks around it gone, blanks within it one space, letters (the
// Polish ones too) in lower case. "  Cena  BRUTTO " -> "cena brutto".
std::string normalHeading(const std::string& utf8);

// The column of ours (`Column`) a UTF-8 heading names: by the options' mappings first, then by
// its English name or the Polish ones in use ("kod", "cena brutto", "ilość"...);
// kIgnoredColumn or kNotOurColumn otherwise.
int columnOfHeading(const std::string& utf8, const ReadOptions& options);
// The headings the tool knows by itself for `column`, for a person: "code, kod, ean, ...".
std::string headingsOf(int column);

// The code points of UTF-8 `text`; false when it is not valid UTF-8.
bool decodeUtf8(const std::string& text, std::vector<char32_t>& out);
bool isUtf8(const std::string& text);

}  // namespace velko::files
