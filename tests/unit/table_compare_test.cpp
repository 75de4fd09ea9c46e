// A price list against a device's table: what counts as the same article, what as a change, and
// the table the device holds once the changes are made.
#include <gtest/gtest.h>

#include <string>

#include "jobs/sync.h"

namespace velko::cli {

using namespace velko::jobs;
namespace {

// Names are the host's Windows-1250 bytes, as in every record.
ArticleRecord article(const char* code, const char* name, int32_t price, uint8_t flag = 0,
                      int8_t group = 0, int32_t quantity = 0, int32_t value = 0) {
    ArticleRecord r{};
    std::string(code).copy(r.code, sizeof r.code - 1);
    std::string(name).copy(r.name, sizeof r.name - 1);
    r.price = price;
    r.flag = flag;
    r.group = group;
    r.quantityCounter = quantity;
    r.valueCounter = value;
    return r;
}

TEST(TableComparison, MatchesCodesAsNumbersAndNamesAsTheDeviceStoresThem) {
    const struct {
        const char* what;
        ArticleRecord listed, held;
        unsigned fields;  // 0: the same article
    } cases[] = {
        {"leading zeros", article("000123", "CHLEB", 450), article("00000000000123", "CHLEB", 450),
         0},
        {"lower case", article("5", "chleb razowy", 450), article("5", "CHLEB RAZOWY", 450), 0},
        {"lower-case Polish letters", article("5", "\xBF\xF3\xB3w \xB9\xEA", 450),  // żółw ąę
         article("5", "\xAF\xD3\xA3W \xA5\xCA", 450), 0},                           // ŻÓŁW ĄĘ
        {"a Polish letter is no plain one", article("5", "MAS\xA3O", 799),          // MASŁO
         article("5", "MASLO", 799), NameDiffers},
        {"the counters are never compared", article("5", "X", 100, 0, 0, 0, 0),
         article("5", "X", 100, 0, 0, 2500, 1125), 0},
        {"price only", article("5", "X", 450), article("5", "X", 451), PriceDiffers},
        {"flag only", article("5", "X", 450, 1), article("5", "X", 450, 0), FlagDiffers},
        {"any flag but 0 is 1", article("5", "X", 450, 2), article("5", "X", 450, 1), 0},
        {"group only", article("5", "X", 450, 0, 0), article("5", "X", 450, 0, 1), GroupDiffers},
        {"name and price", article("5", "KAWA", 3299), article("5", "HERBATA", 879),
         NameDiffers | PriceDiffers},
    };
    for (const auto& c : cases) {
        const TableComparison found = compareTables({c.listed}, {c.held});
        if (c.fields == 0) {
            EXPECT_EQ(found.unchanged, 1u) << c.what;
            EXPECT_TRUE(found.differences.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(found.differences.size(), 1u) << c.what;
        EXPECT_EQ(found.differences[0].kind, ArticleDifference::Changed) << c.what;
        EXPECT_EQ(found.differences[0].fields, c.fields) << c.what;
        EXPECT_EQ(found.changed, 1u) << c.what;
    }
}

TEST(TableComparison, FindsNewChangedAndExtraArticlesAndTheTableAfterTheChanges) {
    // The list in no particular order, the device's table as a download gives it.
    const std::vector<ArticleRecord> list = {
        article("900", "nowy \xBF\xF3\xB3w", 1500, 1, 2),  // new: nowy żółw
        article("0042", "CHLEB", 499),                     // price changed
        article("7", "MLEKO", 349),                        // the same
    };
    const std::vector<ArticleRecord> held = {
        article("00000000000007", "MLEKO", 349, 0, 0, 1000, 349),
        article("00000000000042", "CHLEB", 450, 0, 0, 2500, 1125),
        article("00000000000100", "STARY", 100, 0, 0, 500, 50),
    };
    const TableComparison found = compareTables(list, held);
    EXPECT_EQ(found.missing, 1u);
    EXPECT_EQ(found.changed, 1u);
    EXPECT_EQ(found.extra, 1u);
    EXPECT_EQ(found.unchanged, 1u);
    ASSERT_EQ(found.differences.size(), 3u);
    EXPECT_EQ(found.differences[0].kind, ArticleDifference::Changed) << "in the order of codes";
    EXPECT_STREQ(found.differences[0].listed.code, "0042");
    EXPECT_EQ(int32_t(found.differences[0].held.valueCounter), 1125);
    EXPECT_EQ(found.differences[1].kind, ArticleDifference::Extra);
    EXPECT_STREQ(found.differences[1].held.code, "00000000000100");
    EXPECT_EQ(found.differences[2].kind, ArticleDifference::Missing);

    // The changed article keeps its sales, the new one starts at zero with its name in
    // capitals, the extra one is gone or, left alone, stays as it was.
    const auto after = tableAfter(held, found, false);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(int32_t(after[0].valueCounter), 349);
    EXPECT_EQ(int32_t(after[1].price), 499);
    EXPECT_EQ(int32_t(after[1].quantityCounter), 2500);
    EXPECT_EQ(int32_t(after[1].valueCounter), 1125);
    EXPECT_STREQ(after[2].name, "NOWY \xAF\xD3\xA3W");
    EXPECT_EQ(after[2].flag, 1);
    EXPECT_EQ(after[2].group, 2);
    EXPECT_EQ(int32_t(after[2].quantityCounter), 0);
    const auto kept = tableAfter(held, found, true);
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_STREQ(kept[2].name, "STARY");
    EXPECT_EQ(int32_t(kept[2].valueCounter), 50);
    EXPECT_TRUE(compareTables(list, after).differences.empty());

    // For a person: one row per differing field or whole article; a kind without a word is
    // left out.
    const auto codec = makeTextCodec();
    const char* const words[3] = {"missing", "differs", "extra"};
    const std::vector<DifferenceRow> rows = {
        {"42", "differs", "price", "4.99", "4.50"},
        {"100", "extra", "", "", "STARY, 1.00, flag 0, group 1"},
        {"900", "missing", "", "NOWY \xC5\xBB\xC3\x93\xC5\x81W, 15.00, flag 1, group 3", ""}};
    EXPECT_EQ(differenceRows(found, words, *codec), rows);
    const char* const noExtra[3] = {"add", "change", nullptr};
    EXPECT_EQ(differenceRows(found, noExtra, *codec).size(), 2u);
}

}  // namespace
}  // namespace velko::cli
