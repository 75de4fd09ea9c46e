#include "sim/table_file.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "files/article_file.h"
#include "files/validate.h"
#include "link/velko_comm.h"

namespace velko {

namespace {

bool loadRecords(const std::vector<ArticleRecord>& records, const std::vector<files::Fault>& faults,
                 DeviceModel& device, std::string& error) {
    if (!faults.empty()) {
        for (const auto& f : faults) error += files::describe(f) + "\n";
        return false;
    }
    std::string name;
    for (const ArticleRecord& r : records) {
        SimArticle a;
        a.code = r.code;
        VELKOComm::encodeName(r.name, strnlen(r.name, sizeof r.name), name);
        a.name = name;
        a.group = r.group + 1;
        a.price = r.price;
        a.flag = r.flag;
        a.quantity = r.quantityCounter;
        a.value = r.valueCounter;
        device.put(a);
    }
    return true;
}

}  // namespace

bool loadTableFile(const std::string& path, DeviceModel& device, std::string& error) {
    std::vector<files::Fault> faults;
    std::vector<ArticleRecord> records;
    files::loadArticleFile(path, files::RowUse::Table, *files::makeTextCodec(), records, faults);
    return loadRecords(records, faults, device, error);
}

bool loadTableText(const std::string& csv, DeviceModel& device, std::string& error) {
    std::vector<files::Fault> faults;
    std::vector<ArticleRecord> records;
    files::loadArticleText("table", files::Format::Csv, csv, files::RowUse::Table,
                           *files::makeTextCodec(), records, faults);
    return loadRecords(records, faults, device, error);
}

bool saveTableFile(const std::string& path, const DeviceModel& device, std::string& error) {
    std::vector<ArticleRecord> records;
    for (const auto& entry : device.table()) {
        const SimArticle& a = entry.second;
        ArticleRecord r{};
        a.code.copy(r.code, sizeof r.code - 1);
        const std::string host = VELKOComm::decodeName(a.name.c_str());
        host.copy(r.name, sizeof r.name - 1);
        r.group = int8_t(a.group - 1);
        r.price = int32_t(a.price);
        r.flag = uint8_t(a.flag);
        r.quantityCounter = int32_t(a.quantity);
        r.valueCounter = int32_t(a.value);
        records.push_back(r);
    }
    std::ostringstream text;
    files::writeArticles(text, files::Format::Json, records, *files::makeTextCodec());
    return !files::writeFileAtomically(path, text.str(), false, error).empty();
}

}  // namespace velko
