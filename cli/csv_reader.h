// RFC 4180 records one at a time from a stream: quoted fields, doubled quotes, line breaks
// inside quotes, CRLF, LF or CR between records, an optional UTF-8 byte-order mark.
// Our own reader rather than libcsv: Debian has no Windows build of libcsv, and one reader on
// both platforms makes a file read the same, faults included, wherever the tool runs.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace velko::cli {

class CsvReader {
  public:
    explicit CsvReader(std::istream& in);

    // The next record's fields; false at the end of the input, or at broken quoting, which
    // `error()` then names. Empty lines are no records. Spaces belong to the field.
    bool next(std::vector<std::string>& fields);
    const char* error() const { return error_; }

  private:
    int get();
    int peek();

    std::streambuf& in_;
    std::string pending_;  // bytes read ahead while looking for a byte-order mark
    const char* error_ = nullptr;
};

}  // namespace velko::cli
