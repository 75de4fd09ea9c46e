// The tool's article files: CSV (RFC 4180, UTF-8, optional byte-order mark) or JSON (an array
// of objects), both with the columns code, name, price, flag, group, quantity, value.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/text_codec.h"
#include "device/amount.h"
#include "velko/velko.h"

namespace velko::cli {

enum Column { Code, Name, Price, Flag, Group, Quantity, Value, ColumnCount };
extern const std::array<const char*, ColumnCount> kColumnNames;

// One article as the file has it, before any check: a cell is absent when the file has no
// such column (CSV) or key (JSON).
struct Row {
    int number = 0;  // as people count: the CSV header is row 1, JSON elements count from 1
    std::array<std::optional<std::string>, ColumnCount> cells;
};

// One thing wrong with a file, for a person to mend.
struct Fault {
    std::string file;
    int row = 0;         // 0: the file as a whole
    std::string column;  // empty: the row as a whole
    std::string reason;
};
std::string describe(const Fault& fault);

enum class Format { Csv, Json };
// JSON for names ending in ".json" (any case); CSV for everything else, "-" included.
Format formatOf(const std::string& path);

// Hands every row of `path` (UTF-8 on Windows, bytes elsewhere; "-": standard input) to `onRow`
// as it is read, so a CSV file of any length is never held whole. Problems with the file itself
// (cannot be opened, broken quoting or JSON, unknown or repeated columns) go to `faults`.
using RowSink = std::function<void(Row&)>;
void readArticleFile(const std::string& path, const RowSink& onRow, std::vector<Fault>& faults);
// The same, every row kept.
void readArticleFile(const std::string& path, std::vector<Row>& rows, std::vector<Fault>& faults);
// The same for text already read; `file` names it in faults.
void readArticleText(const std::string& file, Format format, std::string text,
                     std::vector<Row>& rows, std::vector<Fault>& faults);

// The seven columns of a record as the files write them: the code without leading zeros, the
// name in UTF-8, the device's group number, amounts with two or three decimals.
std::array<std::string, ColumnCount> articleCells(const ArticleRecord& record, TextCodec& codec);

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

}  // namespace velko::cli
