// A price list against a device's table: which articles the device lacks, which it holds
// differently and which it holds beyond the list. `velko sync` sends only those; `velko verify`
// shows them.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "files/text_codec.h"
#include "velko/velko.h"

namespace velko::jobs {

using namespace velko::files;  // a job is made of the files' parts

// The fields of an article the device may hold differently from the list; counters are never
// compared.
enum DifferingField : unsigned {
    NameDiffers = 1,
    PriceDiffers = 2,
    FlagDiffers = 4,
    GroupDiffers = 8,
};

struct ArticleDifference {
    enum Kind {
        Missing,  // in the list, not on the device
        Changed,  // in both, with `fields` differing
        Extra,    // on the device, not in the list
    };
    Kind kind = Missing;
    ArticleRecord listed{};  // Missing and Changed: the list's article
    ArticleRecord held{};    // Changed and Extra: the device's article, counters included
    unsigned fields = 0;     // Changed: DifferingField bits
};

struct TableComparison {
    std::vector<ArticleDifference> differences;  // in the order of the codes' numbers
    size_t missing = 0, changed = 0, extra = 0, unchanged = 0;
};

// Compares `list` with `held`, the device's table, article by article. Codes are matched as
// numbers ("000123" is "123"); a name is compared as the device stores it (capitals, its own
// characters for the Polish letters), a flag as set or not. Each side names a code once, as
// the tool's checks and the download make sure.
TableComparison compareTables(const std::vector<ArticleRecord>& list,
                              const std::vector<ArticleRecord>& held);

// The device's table once the differences are sent: the missing articles stored with zero
// counters, the changed ones with their counters kept, the extra ones deleted unless
// `keepOthers`; names as the device gives them back, in the order of the codes.
std::vector<ArticleRecord> tableAfter(const std::vector<ArticleRecord>& held,
                                      const TableComparison& comparison, bool keepOthers);

// The differences one row per differing field and one per missing or extra article: code,
// what, field, list, device. `words` names the three kinds in the "what" column (a sync says
// "add", a verification "missing"); a kind whose word is null is left out.
using DifferenceRow = std::array<std::string, 5>;
// Each article of `list` that `held` has takes the flag and group it has there.
void keepFlagsAndGroups(std::vector<ArticleRecord>& list, const std::vector<ArticleRecord>& held);

std::vector<DifferenceRow> differenceRows(const TableComparison& comparison,
                                          const char* const words[3], TextCodec& codec);

}  // namespace velko::jobs
