// RFC 4180 records one at a time from a stream: quoted fields, doubled quotes, line breaks
// inside quotes, CRLF, LF or CR between records, an optional UTF-8 byte-order mark, and a
// field delimiter of ',', ';' or tab, given or found from the first line.
// Our own reader rather than libcsv: Debian has no Windows build of libcsv, and one reader on
// both platforms makes a file read the same, faults included, wherever the tool runs.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace velko::files {

class CsvReader {
  public:
    // `delimiter` 0: the one of ',', ';' and tab that the first line holds most often outside
    // quotes (';' before tab before ',' when as often; ',' when it holds none), found from
    // that line alone, so the input is still read as it streams.
    explicit CsvReader(std::istream& in, char delimiter = ',');

    // The next record's fields; false at the end of the input, or at broken quoting, which
    // `error()` then names. Empty lines are no records. Spaces belong to the field.
    bool next(std::vector<std::string>& fields);
    const char* error() const { return error_; }

    char delimiter() const { return delimiter_; }
    // Whether the input began with a UTF-8 byte-order mark (which is no part of any field).
    bool hadByteOrderMark() const { return byteOrderMark_; }
    // The line, counted from 1 as an editor counts them, where the last record returned (or
    // the broken one) starts; a line break inside a quoted field counts as one.
    int line() const { return recordLine_; }

  private:
    int get();
    int peek();
    char delimiterOfFirstLine();

    std::streambuf& in_;
    std::string pending_;  // bytes read ahead: a byte-order mark looked for, the first line
    size_t pendingAt_ = 0;
    char delimiter_;
    bool byteOrderMark_ = false;
    int lineNow_ = 1;  // the line of the next byte
    int recordLine_ = 0;
    const char* error_ = nullptr;
};

}  // namespace velko::files
