// The tool's CSV and JSON readers and the checks of every row on any bytes: faults or
// records, and every record's text fields NUL-terminated within their bytes. A first byte 'j'
// makes the rest JSON, any other CSV.
#include <cstring>

#include "files/article_file.h"
#include "files/validate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const auto codec = velko::files::makeTextCodec();
    const auto format = data[0] == 'j' ? velko::files::Format::Json : velko::files::Format::Csv;
    std::vector<velko::files::Row> rows;
    std::vector<velko::files::Fault> faults;
    velko::files::readArticleText("fuzz", format, std::string(data + 1, data + size), rows, faults);
    for (auto use :
         {velko::files::RowUse::Upload, velko::files::RowUse::Table, velko::files::RowUse::Codes}) {
        std::vector<ArticleRecord> records;
        velko::files::validateRows("fuzz", rows, use, *codec, records, faults);
        for (const ArticleRecord& r : records) {
            if (strnlen(r.code, sizeof r.code) == sizeof r.code) __builtin_trap();
            if (strnlen(r.name, sizeof r.name) == sizeof r.name) __builtin_trap();
        }
    }
    return 0;
}
