#include "files/csv_reader.h"

namespace velko::files {
namespace {
constexpr int kEnd = std::char_traits<char>::eof();
// How much of a first line is looked at for its delimiter: a header is far shorter, and a
// file without line breaks is not held whole for it.
constexpr size_t kFirstLineLimit = 1 << 20;
}  // namespace

CsvReader::CsvReader(std::istream& in, char delimiter) : in_(*in.rdbuf()), delimiter_(delimiter) {
    const int first = in_.sgetc();
    if (first == 0xFF || first == 0xFE) {
        in_.sbumpc();
        const int second = in_.sgetc();
        if (second == (first == 0xFF ? 0xFE : 0xFF)) {
            error_ =
                "the file is UTF-16 text (Excel's \"Unicode text\"); save it as \"CSV UTF-8\" or "
                "\"CSV (rozdzielany \xC5\x9Brednikami)\"";
            return;
        }
        pending_ += char(first);
    } else {
        for (const char bom : {'\xEF', '\xBB', '\xBF'}) {
            if (in_.sgetc() != static_cast<unsigned char>(bom)) break;
            pending_ += char(in_.sbumpc());
        }
        byteOrderMark_ = pending_.size() == 3;
        if (byteOrderMark_) pending_.clear();
    }
    if (delimiter_ == 0) delimiter_ = delimiterOfFirstLine();
}

char CsvReader::delimiterOfFirstLine() {
    size_t semicolons = 0, tabs = 0, commas = 0;
    bool quoted = false, seenField = false;
    for (size_t i = 0; i < kFirstLineLimit; ++i) {
        if (i == pending_.size()) {
            const int next = in_.sbumpc();
            if (next == kEnd) break;
            pending_ += char(next);
        }
        const char c = pending_[i];
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\r' || c == '\n') {
            if (seenField) break;
            continue;
        }
        seenField = true;
        semicolons += c == ';';
        tabs += c == '\t';
        commas += c == ',';
    }
    if (semicolons >= tabs && semicolons >= commas && semicolons > 0) return ';';
    if (tabs >= commas && tabs > 0) return '\t';
    return ',';
}

int CsvReader::get() {
    int c;
    if (pendingAt_ < pending_.size()) {
        c = static_cast<unsigned char>(pending_[pendingAt_++]);
        if (pendingAt_ == pending_.size()) {
            pending_.clear();
            pendingAt_ = 0;
        }
    } else {
        c = in_.sbumpc();
    }
    if (c == '\n' || (c == '\r' && peek() != '\n')) ++lineNow_;
    return c;
}

int CsvReader::peek() {
    return pendingAt_ < pending_.size() ? static_cast<unsigned char>(pending_[pendingAt_])
                                        : in_.sgetc();
}

bool CsvReader::next(std::vector<std::string>& fields) {
    fields.clear();
    if (error_) return false;
    int c = peek();
    while (c == '\r' || c == '\n') {
        get();
        c = peek();
    }
    recordLine_ = lineNow_;
    c = get();
    if (c == kEnd) return false;
    for (;;) {
        std::string& field = fields.emplace_back();
        if (c == '"') {
            for (;;) {
                c = get();
                if (c == kEnd) {
                    error_ = "a quoted field is not closed";
                    return false;
                }
                if (c == '"') {
                    if (peek() != '"') break;
                    c = get();
                }
                field += char(c);
            }
            c = get();
            if (c != delimiter_ && c != '\r' && c != '\n' && c != kEnd) {
                error_ = "a closing quote is followed by more of the field";
                return false;
            }
        } else {
            for (; c != delimiter_ && c != '\r' && c != '\n' && c != kEnd; c = get()) {
                if (c == '"') {
                    error_ = "a quote inside a field that is not quoted";
                    return false;
                }
                field += char(c);
            }
        }
        if (c != delimiter_) break;
        c = get();
    }
    if (c == '\r' && peek() == '\n') get();
    return true;
}

}  // namespace velko::files
