#include "chain/price_list.h"

#include <algorithm>
#include <cstdio>

#include "device/article_rules.h"
#include "files/article_file.h"
#include "files/text_codec.h"

namespace velko::chain {

std::string priceListChecksum(const std::vector<ArticleRecord>& articles) {
    std::vector<std::pair<uint64_t, std::string>> lines;
    const auto codec = files::makeTextCodec();
    for (const ArticleRecord& r : articles) {
        const auto cells = files::articleCells(r, *codec);
        lines.emplace_back(codeNumber(r.code), cells[files::Code] + ";" + cells[files::Name] + ";" +
                                                   cells[files::Price] + ";" + cells[files::Flag] +
                                                   ";" + cells[files::Group] + "\n");
    }
    std::sort(lines.begin(), lines.end());
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const auto& line : lines) {
        for (unsigned char c : line.second) hash = (hash ^ c) * 0x100000001b3ULL;
    }
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016llx", (unsigned long long)hash);
    return text;
}

}  // namespace velko::chain
