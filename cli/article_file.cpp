#include "cli/article_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "cli/csv_reader.h"

namespace velko::cli {

const std::array<const char*, ColumnCount> kColumnNames = {"code",  "name",     "price", "flag",
                                                           "group", "quantity", "value"};

namespace {

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

void readCsv(const std::string& file, std::istream& in, const RowSink& onRow,
             std::vector<Fault>& faults) {
    CsvReader csv(in);
    std::vector<std::string> record;
    if (!csv.next(record)) {
        faults.push_back({file, 1, "",
                          csv.error() ? std::string("not valid CSV: ") + csv.error()
                                      : "no header (code,name,price,flag,group,quantity,value)"});
        return;
    }
    std::vector<int> columns;
    bool seen[ColumnCount] = {};
    for (const std::string& name : record) {
        const int c = columnNamed(name);
        if (c < 0) {
            faults.push_back({file, 1, name, "unknown column"});
        } else if (seen[c]) {
            faults.push_back({file, 1, name, "column given twice"});
        } else {
            seen[c] = true;
        }
        columns.push_back(c);
    }
    int number = 1;
    while (csv.next(record)) {
        Row row;
        row.number = ++number;
        if (record.size() != columns.size()) {
            faults.push_back({file, row.number, "",
                              std::to_string(record.size()) + " fields where the header has " +
                                  std::to_string(columns.size())});
            continue;
        }
        for (size_t f = 0; f < record.size(); ++f) {
            if (columns[f] >= 0) row.cells[size_t(columns[f])] = std::move(record[f]);
        }
        for (int c = 0; c < ColumnCount; ++c) {
            if (seen[c] && !row.cells[size_t(c)]) row.cells[size_t(c)] = "";
        }
        onRow(row);
    }
    if (csv.error())
        faults.push_back({file, number + 1, "", std::string("not valid CSV: ") + csv.error()});
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

std::string quoteCsv(const std::string& cell) {
    if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
    std::string out = "\"";
    for (char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

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
                  std::vector<Fault>& faults) {
    if (format == Format::Json) {
        readJson(file, in, onRow, faults);
    } else {
        readCsv(file, in, onRow, faults);
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

void readArticleFile(const std::string& path, std::vector<Row>& rows, std::vector<Fault>& faults) {
    readArticleFile(path, keepingIn(rows), faults);
}

void readArticleFile(const std::string& path, const RowSink& onRow, std::vector<Fault>& faults) {
    if (path == "-") {
        readArticles("standard input", Format::Csv, std::cin, onRow, faults);
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
    readArticles(path, formatOf(path), in, onRow, faults);
    // Rows of two versions of a file would go to the device as one list.
    if (stampOf(name) != before)
        faults.push_back({path, 0, "",
                          "changed while it was read; wait until whatever writes it has "
                          "finished, then run again"});
}

void readArticleText(const std::string& file, Format format, std::string text,
                     std::vector<Row>& rows, std::vector<Fault>& faults) {
    std::istringstream in(std::move(text));
    readArticles(file, format, in, keepingIn(rows), faults);
}

std::array<std::string, ColumnCount> articleCells(const ArticleRecord& r, TextCodec& codec) {
    const std::string code(r.code, strnlen(r.code, sizeof r.code));
    const size_t first = code.find_first_not_of('0');
    return {first == std::string::npos ? code : code.substr(first),
            codec.toUtf8(std::string(r.name, strnlen(r.name, sizeof r.name))),
            formatAmount(r.price, 2),
            std::to_string(r.flag),
            std::to_string(int(r.group) + 1),
            formatAmount(r.quantityCounter, 3),
            formatAmount(r.valueCounter, 2)};
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
    // CRLF, as RFC 4180 and the spreadsheets that open these files expect.
    for (int c = 0; c < ColumnCount; ++c) out << (c ? "," : "") << kColumnNames[size_t(c)];
    out << "\r\n";
    for (const ArticleRecord& r : records) {
        const auto cells = articleCells(r, codec);
        for (int c = 0; c < ColumnCount; ++c) out << (c ? "," : "") << quoteCsv(cells[size_t(c)]);
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

}  // namespace velko::cli
