#include "jobs/sync.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>

#include "device/amount.h"
#include "files/article_file.h"
#include "files/i18n.h"  // _ and N_ are macros
#include "link/velko_comm.h"

namespace velko::jobs {

using namespace velko::files;  // a job is made of the files' parts
namespace {

// A code's number straight from the record, without a string: the codes are digits, checked
// on the way in.
uint64_t codeNumberOf(const ArticleRecord& r) {
    uint64_t n = 0;
    for (size_t i = 0; i < sizeof r.code && r.code[i]; ++i) n = n * 10 + uint64_t(r.code[i] - '0');
    return n;
}

struct Key {
    uint64_t number;
    uint32_t index;
    bool operator<(const Key& other) const {
        return number != other.number ? number < other.number : index < other.index;
    }
};

std::vector<Key> byCode(const std::vector<ArticleRecord>& records) {
    std::vector<Key> keys;
    keys.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        keys.push_back({codeNumberOf(records[i]), uint32_t(i)});
    std::sort(keys.begin(), keys.end());
    return keys;
}

// Each host byte as the device stores it, from the library's own conversion: compared through
// this table, two names cost no allocation and no search of the Polish letters.
const std::array<uint8_t, 256>& deviceForms() {
    static const std::array<uint8_t, 256> forms = [] {
        std::array<uint8_t, 256> table{};
        std::string device;
        for (int c = 1; c < 256; ++c) {
            const char host = char(c);
            VELKOComm::encodeName(&host, 1, device);
            table[size_t(c)] = uint8_t(device[0]);
        }
        return table;
    }();
    return forms;
}

bool sameOnDevice(const char* a, const char* b, size_t width) {
    const auto& forms = deviceForms();
    for (size_t i = 0; i < width; ++i) {
        if (forms[uint8_t(a[i])] != forms[uint8_t(b[i])]) return false;
        if (!a[i]) return true;
    }
    return true;
}

// The name as the device keeps it and gives it back: capitals, Polish letters as the host's
// capitals.
std::string storedName(const ArticleRecord& r) {
    std::string device;
    VELKOComm::encodeName(r.name, strnlen(r.name, sizeof r.name), device);
    return VELKOComm::decodeName(device.c_str());
}

}  // namespace

TableComparison compareTables(const std::vector<ArticleRecord>& list,
                              const std::vector<ArticleRecord>& held) {
    TableComparison result;
    const std::vector<Key> listed = byCode(list), onDevice = byCode(held);
    size_t i = 0, j = 0;
    while (i < listed.size() || j < onDevice.size()) {
        ArticleDifference d;
        if (j == onDevice.size() || (i < listed.size() && listed[i].number < onDevice[j].number)) {
            d.kind = ArticleDifference::Missing;
            d.listed = list[listed[i++].index];
            ++result.missing;
        } else if (i == listed.size() || onDevice[j].number < listed[i].number) {
            d.kind = ArticleDifference::Extra;
            d.held = held[onDevice[j++].index];
            ++result.extra;
        } else {
            const ArticleRecord& a = list[listed[i++].index];
            const ArticleRecord& b = held[onDevice[j++].index];
            unsigned fields = 0;
            if (!sameOnDevice(a.name, b.name, sizeof a.name)) fields |= NameDiffers;
            if (a.price != b.price) fields |= PriceDiffers;
            // Any flag but 0 goes to the device as 1.
            if ((a.flag != 0) != (b.flag != 0)) fields |= FlagDiffers;
            if (a.group != b.group) fields |= GroupDiffers;
            if (!fields) {
                ++result.unchanged;
                continue;
            }
            d.kind = ArticleDifference::Changed;
            d.listed = a;
            d.held = b;
            d.fields = fields;
            ++result.changed;
        }
        result.differences.push_back(d);
    }
    return result;
}

std::vector<ArticleRecord> tableAfter(const std::vector<ArticleRecord>& held,
                                      const TableComparison& comparison, bool keepOthers) {
    std::map<uint64_t, ArticleRecord> table;
    for (const ArticleRecord& r : held) table[codeNumberOf(r)] = r;
    for (const ArticleDifference& d : comparison.differences) {
        if (d.kind == ArticleDifference::Extra) {
            if (!keepOthers) table.erase(codeNumberOf(d.held));
            continue;
        }
        ArticleRecord r = d.listed;
        const std::string name = storedName(r);
        std::memset(r.name, 0, sizeof r.name);
        name.copy(r.name, sizeof r.name - 1);
        r.flag = r.flag ? 1 : 0;
        // A stored article keeps its sales; a new one starts from zero.
        r.quantityCounter = d.kind == ArticleDifference::Changed ? d.held.quantityCounter : 0;
        r.valueCounter = d.kind == ArticleDifference::Changed ? d.held.valueCounter : 0;
        table[codeNumberOf(r)] = r;
    }
    std::vector<ArticleRecord> after;
    after.reserve(table.size());
    for (const auto& entry : table) after.push_back(entry.second);
    return after;
}

void keepFlagsAndGroups(std::vector<ArticleRecord>& list, const std::vector<ArticleRecord>& held) {
    std::map<uint64_t, const ArticleRecord*> byNumber;
    for (const ArticleRecord& r : held) byNumber[codeNumberOf(r)] = &r;
    for (ArticleRecord& r : list) {
        const auto found = byNumber.find(codeNumberOf(r));
        if (found == byNumber.end()) continue;
        r.flag = found->second->flag;
        r.group = found->second->group;
    }
}

std::vector<DifferenceRow> differenceRows(const TableComparison& comparison,
                                          const char* const words[3], TextCodec& codec) {
    std::vector<DifferenceRow> lines;
    const auto whole = [&](const ArticleRecord& r, bool asStored) {
        const auto cells = articleCells(r, codec);
        // TRANSLATORS: a whole article in a table of differences: its name, price, flag and
        // group.
        return formatted(_("%s, %s, flag %s, group %s"),
                         (asStored ? codec.toUtf8(storedName(r)) : cells[Name]).c_str(),
                         cells[Price].c_str(), cells[Flag].c_str(), cells[Group].c_str());
    };
    for (const ArticleDifference& d : comparison.differences) {
        const char* word = words[d.kind];
        if (!word) continue;
        const ArticleRecord& any = d.kind == ArticleDifference::Extra ? d.held : d.listed;
        const std::string code = articleCells(any, codec)[Code];
        if (d.kind == ArticleDifference::Missing) {
            lines.push_back({code, word, "", whole(d.listed, true), ""});
        } else if (d.kind == ArticleDifference::Extra) {
            lines.push_back({code, word, "", "", whole(d.held, false)});
        } else {
            const auto listed = articleCells(d.listed, codec), held = articleCells(d.held, codec);
            if (d.fields & NameDiffers)
                lines.push_back(
                    {code, word, _("name"), codec.toUtf8(storedName(d.listed)), held[Name]});
            if (d.fields & PriceDiffers)
                lines.push_back({code, word, _("price"), listed[Price], held[Price]});
            if (d.fields & FlagDiffers)
                lines.push_back({code, word, _("flag"), d.listed.flag ? "1" : "0", held[Flag]});
            if (d.fields & GroupDiffers)
                lines.push_back({code, word, _("group"), listed[Group], held[Group]});
        }
    }
    return lines;
}

}  // namespace velko::jobs
