// What head office and the shops agree on about a price list beside its articles.
#pragma once

#include <string>
#include <vector>

#include "velko/velko.h"

namespace velko::chain {

// A price list's checksum as head office and the shops compute it: FNV-1a (64 bits) over one
// line "code;name;price;flag;group\n" per article, in the order of the codes' numbers, codes
// without leading zeros, names in UTF-8, as "fnv1a64:" and 16 hexadecimal digits.
std::string priceListChecksum(const std::vector<ArticleRecord>& articles);

}  // namespace velko::chain
