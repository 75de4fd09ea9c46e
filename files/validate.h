// Checks the rows of an article file and turns them into the library's records. Every fault is
// found before anything goes on the line, so a person mends the file once.
#pragma once

#include <string>
#include <vector>

#include "device/article_rules.h"
#include "files/article_file.h"

namespace velko::files {

enum class RowUse {
    Upload,  // code, name and price; flag and group may be left out; counters are ignored
    Table,   // as Upload, with the two counters read too (a saved table, a simulator's seed)
    Codes,   // only the code (deletion)
};

// Appends a record for a good row, or a fault for every problem of a bad one.
void validateRow(const std::string& file, const Row& row, RowUse use, TextCodec& codec,
                 std::vector<ArticleRecord>& records, std::vector<Fault>& faults);
// The same for every row.
void validateRows(const std::string& file, const std::vector<Row>& rows, RowUse use,
                  TextCodec& codec, std::vector<ArticleRecord>& records,
                  std::vector<Fault>& faults);

// Reads and checks `path` ("-": standard input) row by row, keeping only the records of good
// rows: a long list costs its 48-byte records, not its text. A code that comes twice ("123"
// and "000123" too) is a fault of the later row; what is allowed but may be a slip (a negative
// price) goes to `warnings` when given. A CSV header without a column the use needs is one
// fault, and its rows are not checked; `layout` gets what the header showed.
void loadArticleFile(const std::string& path, RowUse use, TextCodec& codec,
                     std::vector<ArticleRecord>& records, std::vector<Fault>& faults,
                     std::vector<Fault>* warnings = nullptr,
                     const ReadOptions& options = ReadOptions(), FileLayout* layout = nullptr);

// The same for text already read, as a request brings it; `file` names it in faults.
void loadArticleText(const std::string& file, Format format, std::string text, RowUse use,
                     TextCodec& codec, std::vector<ArticleRecord>& records,
                     std::vector<Fault>& faults, std::vector<Fault>* warnings = nullptr,
                     const ReadOptions& options = ReadOptions());

// An amount with at most `places` decimals after a point or a comma ("12.5", "-3", "0,05") in
// units of 10^-places; false when it is not such a number or does not fit in 32 bits.
bool parseAmount(const std::string& text, int places, int32_t* amount);

}  // namespace velko::files
