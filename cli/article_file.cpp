#include "cli/article_file.h"

#include <csv.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

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

std::string readAll(std::istream& in) {
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The CSV records as libcsv hands them over, field by field.
struct CsvRecords {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> current;

    static void field(void* text, size_t length, void* self) {
        static_cast<CsvRecords*>(self)->current.emplace_back(text ? static_cast<char*>(text) : "",
                                                             length);
    }
    static void recordEnd(int, void* self) {
        auto* me = static_cast<CsvRecords*>(self);
        me->records.push_back(std::move(me->current));
        me->current.clear();
    }
};

// Spaces are part of a field (RFC 4180); libcsv would otherwise trim them.
int noSpace(unsigned char) {
    return 0;
}

void readCsv(const std::string& file, std::string text, std::vector<Row>& rows,
             std::vector<Fault>& faults) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    csv_parser parser;
    csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI);
    csv_set_space_func(&parser, noSpace);
    CsvRecords csv;
    const bool parsed = csv_parse(&parser, text.data(), text.size(), CsvRecords::field,
                                  CsvRecords::recordEnd, &csv) == text.size() &&
                        csv_fini(&parser, CsvRecords::field, CsvRecords::recordEnd, &csv) == 0;
    if (!parsed) {
        faults.push_back({file, int(csv.records.size()) + 1, "",
                          std::string("not valid CSV: ") + csv_strerror(csv_error(&parser))});
    }
    csv_free(&parser);
    if (!parsed) return;
    if (csv.records.empty()) {
        faults.push_back({file, 1, "", "no header (code,name,price,flag,group,quantity,value)"});
        return;
    }
    std::vector<int> columns;
    bool seen[ColumnCount] = {};
    for (const std::string& name : csv.records[0]) {
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
    for (size_t r = 1; r < csv.records.size(); ++r) {
        const auto& record = csv.records[r];
        Row row;
        row.number = int(r) + 1;
        if (record.size() != columns.size()) {
            faults.push_back({file, row.number, "",
                              std::to_string(record.size()) + " fields where the header has " +
                                  std::to_string(columns.size())});
            continue;
        }
        for (size_t f = 0; f < record.size(); ++f) {
            if (columns[f] >= 0) row.cells[size_t(columns[f])] = record[f];
        }
        for (int c = 0; c < ColumnCount; ++c) {
            if (seen[c] && !row.cells[size_t(c)]) row.cells[size_t(c)] = "";
        }
        rows.push_back(std::move(row));
    }
}

void readJson(const std::string& file, const std::string& text, std::vector<Row>& rows,
              std::vector<Fault>& faults) {
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_array()) {
        faults.push_back({file, 0, "", "not a JSON array of articles"});
        return;
    }
    int number = 0;
    for (const auto& element : doc) {
        Row row;
        row.number = ++number;
        if (!element.is_object()) {
            faults.push_back({file, row.number, "", "not a JSON object"});
            continue;
        }
        bool good = true;
        for (const auto& [key, value] : element.items()) {
            const int c = columnNamed(key);
            if (c < 0) {
                faults.push_back({file, row.number, key, "unknown key"});
                good = false;
            } else if (value.is_string()) {
                row.cells[size_t(c)] = value.get<std::string>();
            } else if (value.is_number()) {
                row.cells[size_t(c)] = value.dump();
            } else {
                faults.push_back({file, row.number, key, "not a string or a number"});
                good = false;
            }
        }
        if (good) rows.push_back(std::move(row));
    }
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

bool syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

void readArticleFile(const std::string& path, std::vector<Row>& rows, std::vector<Fault>& faults) {
    std::string text;
    if (path == "-") {
        text = readAll(std::cin);
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            faults.push_back(
                {path, 0, "", "cannot be read: " + std::generic_category().message(errno)});
            return;
        }
        text = readAll(in);
    }
    readArticleText(path == "-" ? "standard input" : path, formatOf(path), std::move(text), rows,
                    faults);
}

void readArticleText(const std::string& file, Format format, std::string text,
                     std::vector<Row>& rows, std::vector<Fault>& faults) {
    if (format == Format::Json) {
        readJson(file, text, rows, faults);
    } else {
        readCsv(file, std::move(text), rows, faults);
    }
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
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot <= slash + 1))
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string writeFileAtomically(const std::string& path, const std::string& text, bool keepExisting,
                                std::string& error) {
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool good = fd >= 0;
    for (size_t done = 0; good && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        good = n > 0;
        if (good) done += size_t(n);
    }
    good = good && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0) good = false;
    std::string target = path;
    if (good && keepExisting) {
        // link() never replaces a file, so two reports of the same second both survive.
        for (int n = 2; ::link(temporary.c_str(), target.c_str()) != 0; ++n) {
            if (errno != EEXIST || n > 999) {
                good = false;
                break;
            }
            target = withSuffix(path, "-" + std::to_string(n));
        }
        if (good) ::unlink(temporary.c_str());
    } else if (good) {
        good = ::rename(temporary.c_str(), target.c_str()) == 0;
    }
    good = good && syncPath(directoryOf(target), O_RDONLY | O_DIRECTORY);
    if (!good) {
        error = path + ": " + std::generic_category().message(errno);
        ::unlink(temporary.c_str());
        return "";
    }
    return target;
}

}  // namespace velko::cli
