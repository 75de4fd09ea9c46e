#include "files/article_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "files/csv_reader.h"

namespace velko::files {

const std::array<const char*, ColumnCount> kColumnNames = {"code",  "name",     "price", "flag",
                                                           "group", "quantity", "value"};

namespace {

// A JSON key: our column names exactly, as the files we write have them.
int columnNamed(const std::string& name) {
    for (int c = 0; c < ColumnCount; ++c) {
        if (name == kColumnNames[size_t(c)]) return c;
    }
    return -1;
}

bool endsWithJson(const std::string& path) {
    if (path.size() < 5) return false;
    std::string ext = path.substr(path.size() - 5);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".json";
}

std::string hexByte(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// Turns a CSV file's fields into UTF-8 as they are read. Only fields with a byte above 127 need
// it, and the first such field decides a file of unknown encoding: UTF-8 when it is valid
// UTF-8 (as Polish text in Windows-1250 practically never is), Windows-1250 otherwise. A
// byte-order mark decides for UTF-8 at once. A later field not in the decided encoding is a
// fault of its row, with the way out; the file is never held whole to decide.
class FieldDecoder {
  public:
    FieldDecoder(Encoding encoding, bool byteOrderMark)
        : encoding_(encoding == Encoding::Detect && byteOrderMark ? Encoding::Utf8 : encoding),
          given_(encoding != Encoding::Detect),
          byteOrderMark_(byteOrderMark) {}

    Encoding encoding() const { return encoding_; }

    // `field` in UTF-8, or false with `problem` said.
    bool decode(std::string& field, int line, std::string& problem) {
        if (std::all_of(field.begin(), field.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            return true;
        const bool deciding = encoding_ == Encoding::Detect;
        if (deciding) {
            encoding_ = isUtf8(field) ? Encoding::Utf8 : Encoding::Windows1250;
            decidedAt_ = line;
        }
        if (encoding_ == Encoding::Utf8) {
            if (isUtf8(field)) return true;
            problem = "not valid UTF-8";
            if (given_) {
                problem += " (--encoding utf-8)";
            } else {
                problem += byteOrderMark_ ? ", though the file begins with UTF-8's byte-order mark"
                                          : ", though row " + std::to_string(decidedAt_) +
                                                " read as UTF-8; if the file is Windows-1250, give "
                                                "--encoding windows-1250";
            }
            return false;
        }
        if (!codec_) codec_ = makeTextCodec();
        std::string utf8 = codec_->toUtf8(field);
        // Windows-1250 has no U+FFFD: it stands for a byte the code page leaves unassigned.
        if (utf8.find("\xEF\xBF\xBD") != std::string::npos) {
            for (const char byte : field) {
                if (codec_->toUtf8(std::string(1, byte)) != "\xEF\xBF\xBD") continue;
                problem = "byte " + hexByte(static_cast<unsigned char>(byte)) +
                          " is no Windows-1250 character";
                if (given_) {
                    problem += " (--encoding windows-1250)";
                } else if (deciding) {
                    problem += ", and the text is not UTF-8";
                } else {
                    problem += ", though row " + std::to_string(decidedAt_) +
                               " read as Windows-1250; if the file is UTF-8, give --encoding "
                               "utf-8";
                }
                break;
            }
            return false;
        }
        field = std::move(utf8);
        return true;
    }

  private:
    Encoding encoding_;
    bool given_;
    bool byteOrderMark_;
    int decidedAt_ = 0;
    std::unique_ptr<TextCodec> codec_;
};

bool blankRecord(const std::vector<std::string>& record) {
    return std::all_of(record.begin(), record.end(),
                       [](const std::string& field) { return field.empty(); });
}

void readCsv(const std::string& file, std::istream& in, const ReadOptions& options,
             const RowSink& onRow, std::vector<Fault>& faults, FileLayout& layout) {
    CsvReader csv(in, options.delimiter);
    layout.delimiter = csv.delimiter();
    FieldDecoder decoder(options.encoding, csv.hadByteOrderMark());
    std::vector<std::string> record;
    if (!csv.next(record)) {
        faults.push_back({file, std::max(csv.line(), 1), "",
                          csv.error() ? std::string("not valid CSV: ") + csv.error()
                                      : "no header (code,name,price,flag,group,quantity,value)"});
        return;
    }
    layout.header = true;
    layout.headerLine = csv.line();
    std::vector<int> columns;
    std::array<std::string, ColumnCount> headings;
    std::string problem;
    for (std::string& heading : record) {
        if (!decoder.decode(heading, csv.line(), problem)) {
            faults.push_back({file, csv.line(), "",
                              "heading " + std::to_string(columns.size() + 1) + ": " + problem});
            columns.push_back(kNotOurColumn);
            continue;
        }
        int c = columnOfHeading(heading, options);
        if (c >= 0 && layout.columns[size_t(c)]) {
            // Two headings for one column ("Kod" and "EAN") leave the choice to a person.
            const std::string& first = headings[size_t(c)];
            faults.push_back({file, csv.line(), heading,
                              normalHeading(first) == normalHeading(heading)
                                  ? "column given twice"
                                  : "names the " + std::string(kColumnNames[size_t(c)]) +
                                        " column, as '" + first + "' does; --column '" + heading +
                                        "=ignore' passes it over"});
            c = kIgnoredColumn;
        } else if (c >= 0) {
            layout.columns[size_t(c)] = true;
            headings[size_t(c)] = heading;
        } else if (c == kNotOurColumn) {
            layout.ignored.push_back(normalHeading(heading).empty()
                                         ? "(column " + std::to_string(columns.size() + 1) +
                                               " without a heading)"
                                         : heading);
        }
        columns.push_back(c);
    }
    while (csv.next(record)) {
        Row row;
        row.number = csv.line();
        // Spreadsheets leave rows of empty fields (";;;;") below and between the list.
        if (blankRecord(record)) continue;
        if (record.size() != columns.size()) {
            faults.push_back({file, row.number, "",
                              std::to_string(record.size()) + " fields where the header has " +
                                  std::to_string(columns.size())});
            continue;
        }
        bool decoded = true;
        for (size_t f = 0; f < record.size(); ++f) {
            const int c = columns[f];
            if (c < 0) continue;
            if (!decoder.decode(record[f], row.number, problem)) {
                faults.push_back({file, row.number, kColumnNames[size_t(c)], problem});
                decoded = false;
                continue;
            }
            row.cells[size_t(c)] =
                c == Name ? fromSpreadsheetText(record[f]) : std::move(record[f]);
        }
        if (!decoded) continue;
        for (int c = 0; c < ColumnCount; ++c) {
            if (layout.columns[size_t(c)] && !row.cells[size_t(c)]) row.cells[size_t(c)] = "";
        }
        layout.encoding = decoder.encoding();
        onRow(row);
    }
    layout.encoding = decoder.encoding();
    if (csv.error())
        faults.push_back({file, csv.line(), "", std::string("not valid CSV: ") + csv.error()});
}

// Reads the array one event at a time, so that a long list costs one row of memory, not a
// document tree of every article.
class JsonRows : public nlohmann::json_sax<nlohmann::json> {
  public:
    JsonRows(const std::string& file, const RowSink& onRow, std::vector<Fault>& faults)
        : file_(file), onRow_(onRow), faults_(faults) {}

    bool null() override { return scalar(std::nullopt); }
    bool boolean(bool) override { return scalar(std::nullopt); }
    bool number_integer(number_integer_t v) override { return scalar(std::to_string(v)); }
    bool number_unsigned(number_unsigned_t v) override { return scalar(std::to_string(v)); }
    bool number_float(number_float_t v, const string_t&) override {
        return scalar(nlohmann::json(v).dump());
    }
    bool string(string_t& v) override { return scalar(std::move(v)); }
    bool binary(binary_t&) override { return scalar(std::nullopt); }
    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (skipping()) return true;
        column_ = columnNamed(name);
        key_ = name;
        if (column_ == kNone) fault("unknown key");
        return true;
    }
    bool parse_error(std::size_t byte, const std::string&,
                     const nlohmann::detail::exception&) override {
        faults_.push_back({file_, 0, "", "not valid JSON at byte " + std::to_string(byte)});
        return false;
    }

  private:
    static constexpr int kNone = -1;

    bool notAnArray() {
        faults_.push_back({file_, 0, "", "not a JSON array of articles"});
        return false;
    }
    bool skipping() const { return skipFrom_ != kNone; }
    void fault(const std::string& reason) {
        faults_.push_back({file_, row_.number, depth_ == 2 ? key_ : "", reason});
        good_ = false;
    }
    // A value that is not an object or an array: `text` is empty unless it is a string or a
    // number.
    bool scalar(std::optional<std::string> text) {
        if (depth_ == 0) return notAnArray();
        if (skipping()) return true;
        if (depth_ == 1) {
            startRow();
            fault("not a JSON object");
        } else if (column_ != kNone) {
            if (text)
                row_.cells[size_t(column_)] = std::move(*text);
            else
                fault("not a string or a number");
        }
        return true;
    }
    // An object or an array: the list itself, an article, or something to pass over.
    bool open(bool object) {
        if (depth_ == 0 && object) return notAnArray();
        if (depth_ > 0 && !skipping()) {
            if (depth_ == 1) {
                startRow();
                if (!object) fault("not a JSON object");
            } else if (column_ != kNone) {
                fault("not a string or a number");
            }
            if (depth_ > 1 || !object) skipFrom_ = depth_;
        }
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        if (skipFrom_ == depth_) {
            skipFrom_ = kNone;
        } else if (depth_ == 1 && good_) {
            onRow_(row_);
        }
        return true;
    }
    void startRow() {
        row_ = Row();
        row_.number = ++number_;
        good_ = true;
        column_ = kNone;
    }

    const std::string& file_;
    const RowSink& onRow_;
    std::vector<Fault>& faults_;
    int depth_ = 0;
    int skipFrom_ = kNone;  // the depth of a value being passed over, and all within it
    int number_ = 0;
    Row row_;
    bool good_ = true;
    int column_ = kNone;
    std::string key_;
};

void readJson(const std::string& file, std::istream& in, const RowSink& onRow,
              std::vector<Fault>& faults) {
    JsonRows rows(file, onRow, faults);
    nlohmann::json::sax_parse(in, &rows);
}

}  // namespace

std::string quoteCsv(const std::string& cell, char delimiter) {
    if (cell.find_first_of(std::string(1, delimiter) + "\"\r\n") == std::string::npos) return cell;
    std::string out = "\"";
    for (char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

// Whether a spreadsheet would read `text` as a formula.
bool formulaLike(const std::string& text) {
    return !text.empty() && text[0] != '\0' && std::strchr("=+-@\t\r", text[0]);
}

}  // namespace

std::string spreadsheetText(const std::string& text) {
    return formulaLike(text) ? "'" + text : text;
}

std::string fromSpreadsheetText(const std::string& cell) {
    return cell.size() > 1 && cell[0] == '\'' && formulaLike(cell.substr(1)) ? cell.substr(1)
                                                                             : cell;
}

std::string describe(const Fault& f) {
    std::string out = f.file;
    if (f.row > 0) out += ": row " + std::to_string(f.row);
    if (!f.column.empty()) out += ", column " + f.column;
    return out + ": " + f.reason;
}

Format formatOf(const std::string& path) {
    return endsWithJson(path) ? Format::Json : Format::Csv;
}

namespace {

void readArticles(const std::string& file, Format format, std::istream& in, const RowSink& onRow,
                  std::vector<Fault>& faults, const ReadOptions& options, FileLayout* layout) {
    FileLayout ignored;
    if (format == Format::Json) {
        readJson(file, in, onRow, faults);
    } else {
        readCsv(file, in, options, onRow, faults, layout ? *layout : ignored);
    }
    if (in.bad()) faults.push_back({file, 0, "", "could not be read to the end"});
}

// A file's size and time of last change: a file still being written, or replaced, while it is
// read differs in one of them afterwards.
struct FileStamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type changed;
    bool operator!=(const FileStamp& o) const { return size != o.size || changed != o.changed; }
};

FileStamp stampOf(const std::filesystem::path& path) {
    std::error_code error;
    FileStamp stamp;
    stamp.size = std::filesystem::file_size(path, error);
    stamp.changed = std::filesystem::last_write_time(path, error);
    return stamp;
}

RowSink keepingIn(std::vector<Row>& rows) {
    return [&rows](Row& row) { rows.push_back(std::move(row)); };
}

}  // namespace

void readArticleFile(const std::string& path, std::vector<Row>& rows, std::vector<Fault>& faults,
                     const ReadOptions& options, FileLayout* layout) {
    readArticleFile(path, keepingIn(rows), faults, options, layout);
}

void readArticleFile(const std::string& path, const RowSink& onRow, std::vector<Fault>& faults,
                     const ReadOptions& options, FileLayout* layout) {
    if (path == "-") {
        readArticles("standard input", Format::Csv, std::cin, onRow, faults, options, layout);
        return;
    }
    const std::filesystem::path name = systemName(path);
    const FileStamp before = stampOf(name);
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        faults.push_back(
            {path, 0, "", "cannot be read: " + std::generic_category().message(errno)});
        return;
    }
    readArticles(path, formatOf(path), in, onRow, faults, options, layout);
    // Rows of two versions of a file would go to the device as one list.
    if (stampOf(name) != before)
        faults.push_back({path, 0, "",
                          "changed while it was read; wait until whatever writes it has "
                          "finished, then run again"});
}

void readArticleText(const std::string& file, Format format, std::string text, const RowSink& onRow,
                     std::vector<Fault>& faults, const ReadOptions& options, FileLayout* layout) {
    std::istringstream in(std::move(text));
    readArticles(file, format, in, onRow, faults, options, layout);
}

void readArticleText(const std::string& file, Format format, std::string text,
                     std::vector<Row>& rows, std::vector<Fault>& faults, const ReadOptions& options,
                     FileLayout* layout) {
    readArticleText(file, format, std::move(text), keepingIn(rows), faults, options, layout);
}

std::array<std::string, ColumnCount> articleCells(const ArticleRecord& r, TextCodec& codec,
                                                  Format format) {
    const std::string code(r.code, strnlen(r.code, sizeof r.code));
    const size_t first = code.find_first_not_of('0');
    auto amount = [format](int32_t value, int places) {
        std::string text = formatAmount(value, places);
        if (format == Format::ExcelCsv) std::replace(text.begin(), text.end(), '.', ',');
        return text;
    };
    std::string name = codec.toUtf8(std::string(r.name, strnlen(r.name, sizeof r.name)));
    return {first == std::string::npos ? code : code.substr(first),
            std::move(name),
            amount(r.price, 2),
            std::to_string(r.flag),
            std::to_string(int(r.group) + 1),
            amount(r.quantityCounter, 3),
            amount(r.valueCounter, 2)};
}

void writeArticles(std::ostream& out, Format format, const std::vector<ArticleRecord>& records,
                   TextCodec& codec) {
    if (format == Format::Json) {
        nlohmann::ordered_json doc = nlohmann::ordered_json::array();
        for (const ArticleRecord& r : records) {
            const auto cells = articleCells(r, codec);
            nlohmann::ordered_json item;
            for (int c = 0; c < ColumnCount; ++c) item[kColumnNames[size_t(c)]] = cells[size_t(c)];
            item["flag"] = int(r.flag);
            item["group"] = int(r.group) + 1;
            doc.push_back(std::move(item));
        }
        out << doc.dump(2) << "\n";
        return;
    }
    // CRLF, as RFC 4180 and the spreadsheets that open these files expect. Excel opens a
    // double-clicked file with the delimiter and decimal mark of the system's locale, and as
    // UTF-8 only after a byte-order mark; Polish Windows' are ';' and ','.
    const char* delimiter = format == Format::ExcelCsv ? ";" : ",";
    if (format == Format::ExcelCsv) out << "\xEF\xBB\xBF";
    for (int c = 0; c < ColumnCount; ++c) out << (c ? delimiter : "") << kColumnNames[size_t(c)];
    out << "\r\n";
    for (const ArticleRecord& r : records) {
        auto cells = articleCells(r, codec, format);
        // A spreadsheet takes a cell that begins so for a formula, and runs it: a name from a
        // device or a price list is shown as text, in either form (reading takes it back).
        cells[Name] = spreadsheetText(cells[Name]);
        for (int c = 0; c < ColumnCount; ++c)
            out << (c ? delimiter : "") << quoteCsv(cells[size_t(c)], delimiter[0]);
        out << "\r\n";
    }
}

std::string withSuffix(const std::string& path, const std::string& suffix) {
    // Windows separates directories with '\' as well: a dot in a directory's name is no
    // extension there either.
    const char separators[] = {'/', char(std::filesystem::path::preferred_separator), '\0'};
    const size_t slash = path.find_last_of(separators);
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot <= slash + 1))
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

std::filesystem::path systemName(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}

}  // namespace velko::files
