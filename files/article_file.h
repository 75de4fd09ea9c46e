// The tool's article files: CSV (RFC 4180 with ',', ';' or tab between fields, UTF-8 or
// Windows-1250, headings in English or Polish) or JSON (an array of objects, UTF-8), both with
// the columns code, name, price, flag, group, quantity, value.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device/amount.h"
#include "files/fault_text.h"
#include "files/file_text.h"
#include "files/text_codec.h"
#include "velko/velko.h"

namespace velko::files {

enum Column { Code, Name, Price, Flag, Group, Quantity, Value, ColumnCount };
extern const std::array<const char*, ColumnCount> kColumnNames;

// One article as the file has it, before any check: a cell is absent when the file has no
// such column (CSV) or key (JSON).
struct Row {
    int number = 0;  // the CSV line where the row starts, from 1; JSON elements count from 1
    std::array<std::optional<std::string>, ColumnCount> cells;
};

// One thing wrong with a file, for a person to mend.
struct Fault {
    std::string file;
    int row = 0;         // 0: the file as a whole
    std::string column;  // empty: the row as a whole
    std::string reason;  // in English
    // What was wrong as a code of files/fault_text.h with its parameters, for a program or a
    // person's own language; "other" when only the reason tells.
    std::string code = "other";
    FaultParams params = {};
};
std::string describe(const Fault& fault);

// ExcelCsv is written only: ';' between fields, decimal commas, UTF-8 with a byte-order mark,
// which Polish Excel opens in columns with a double-click. It reads back as any CSV.
enum class Format { Csv, Json, ExcelCsv };
// JSON for names ending in ".json" (any case); CSV for everything else, "-" included.
Format formatOf(const std::string& path);

// What a CSV file's header showed, known before its first row is handed on.
struct FileLayout {
    bool header = false;  // false for JSON, and for a CSV file without a header
    int headerLine = 0;
    std::array<bool, ColumnCount> columns{};
    std::vector<std::string> ignored;  // headings of columns not ours, as the file has them
    char delimiter = 0;
    Encoding encoding = Encoding::Detect;  // still Detect after a file of ASCII alone
};

// Hands every row of `path` (UTF-8 on Windows, bytes elsewhere; "-": standard input) to `onRow`
// as it is read, so a CSV file of any length is never held whole. A CSV row of empty fields
// alone is no row. Its cells are UTF-8 whatever the file's encoding. Problems with the file
// itself (cannot be opened, broken quoting or JSON, repeated columns, unknown JSON keys, text
// in no encoding read) go to `faults`; the rows they are found in are not handed on.
using RowSink = std::function<void(Row&)>;
void readArticleFile(const std::string& path, const RowSink& onRow, std::vector<Fault>& faults,
                     const ReadOptions& options = ReadOptions(), FileLayout* layout = nullptr);
// The same, every row kept.
void readArticleFile(const std::string& path, std::vector<Row>& rows, std::vector<Fault>& faults,
                     const ReadOptions& options = ReadOptions(), FileLayout* layout = nullptr);
// The same for text already read; `file` names it in faults.
void readArticleText(const std::string& file, Format format, std::string text, const RowSink& onRow,
                     std::vector<Fault>& faults, const ReadOptions& options = ReadOptions(),
                     FileLayout* layout = nullptr);
void readArticleText(const std::string& file, Format format, std::string text,
                     std::vector<Row>& rows, std::vector<Fault>& faults,
                     const ReadOptions& options = ReadOptions(), FileLayout* layout = nullptr);

// The seven columns of a record as the files write them: the code without leading zeros, the
// name in UTF-8, the device's group number, amounts with two or three decimals (after a comma
// for ExcelCsv, a point otherwise).
std::array<std::string, ColumnCount> articleCells(const ArticleRecord& record, TextCodec& codec,
                                                  Format format = Format::Csv);

// A CSV cell, in quotes when it holds the delimiter, a quote or a line break.
std::string quoteCsv(const std::string& cell, char delimiter);

// Text for a CSV cell that a spreadsheet must show, not run: one that begins as a formula
// does ('=', '+', '-', '@', a tab or a carriage return) gets an apostrophe before it, which
// spreadsheets take for "text". (The device's names hold no apostrophe: its character set uses
// that byte for a letter, so the guard cannot be mistaken for a name's own.)
std::string spreadsheetText(const std::string& text);
// A name cell as written by spreadsheetText, back to the text.
std::string fromSpreadsheetText(const std::string& cell);
// A free text (a name, a session's text) as a CSV cell: shown, never run, and quoted as needed.
inline std::string csvText(const std::string& text, char delimiter) {
    return quoteCsv(spreadsheetText(text), delimiter);
}

void writeArticles(std::ostream& out, Format format, const std::vector<ArticleRecord>& records,
                   TextCodec& codec);

// The tool's names are UTF-8: on Windows the system is given their wide form, since the ANSI
// code page lacks most of the world's letters; elsewhere a name is its bytes, unchanged.
std::filesystem::path systemName(const std::string& utf8);

// `path` with `suffix` put before its extension: "day.csv", "-2" -> "day-2.csv".
std::string withSuffix(const std::string& path, const std::string& suffix);

// Writes `text` to `path` (UTF-8 on Windows, bytes elsewhere) so that a reader sees the old file
// or the whole new one, never a part: a temporary file beside it, flushed to disk, renamed into
// place, the directory flushed. With `keepExisting`, an existing `path` is left alone and the
// name gets "-2", "-3"... instead. The name written, or empty with `error` set.
std::string writeFileAtomically(const std::string& path, const std::string& text, bool keepExisting,
                                std::string& error);

}  // namespace velko::files
