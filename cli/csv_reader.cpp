#include "cli/csv_reader.h"

namespace velko::cli {
namespace {
constexpr int kEnd = std::char_traits<char>::eof();
}

CsvReader::CsvReader(std::istream& in) : in_(*in.rdbuf()) {
    for (const char bom : {'\xEF', '\xBB', '\xBF'}) {
        if (in_.sgetc() != static_cast<unsigned char>(bom)) return;
        pending_ += char(in_.sbumpc());
    }
    pending_.clear();
}

int CsvReader::get() {
    if (pending_.empty()) return in_.sbumpc();
    const int c = static_cast<unsigned char>(pending_.front());
    pending_.erase(0, 1);
    return c;
}

int CsvReader::peek() {
    return pending_.empty() ? in_.sgetc() : static_cast<unsigned char>(pending_.front());
}

bool CsvReader::next(std::vector<std::string>& fields) {
    fields.clear();
    if (error_) return false;
    int c = get();
    while (c == '\r' || c == '\n') c = get();
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
            if (c != ',' && c != '\r' && c != '\n' && c != kEnd) {
                error_ = "a closing quote is followed by more of the field";
                return false;
            }
        } else {
            for (; c != ',' && c != '\r' && c != '\n' && c != kEnd; c = get()) {
                if (c == '"') {
                    error_ = "a quote inside a field that is not quoted";
                    return false;
                }
                field += char(c);
            }
        }
        if (c != ',') break;
        c = get();
    }
    if (c == '\r' && peek() == '\n') get();
    return true;
}

}  // namespace velko::cli
