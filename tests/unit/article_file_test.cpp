// The tool's article files without a device: what the readers make of RFC 4180 and JSON, the
// amounts, and records surviving a write and a read in either format.
#include "cli/article_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "callbacks.h"
#include "cli/validate.h"

namespace velko::cli {
namespace {

std::vector<Row> readText(const std::string& text, const std::string& extension,
                          std::vector<Fault>& faults) {
    const std::string path = "/tmp/velko-file-test-" + std::to_string(getpid()) + extension;
    std::ofstream(path, std::ios::binary) << text;
    std::vector<Row> rows;
    readArticleFile(path, rows, faults);
    unlink(path.c_str());
    return rows;
}

TEST(ArticleFile, ReadsRfc4180WithQuotesLineBreaksAndAByteOrderMark) {
    std::vector<Fault> faults;
    const auto rows = readText(
        "\xEF\xBB\xBFprice,name,code\r\n"
        "1.50,\"A, \"\"B\"\"\",1\r\n"
        "2, SPACE ,2\n"
        "\r\n"
        "3,\"TWO\nLINES\",3\r"
        "4,,\"\"",
        ".csv", faults);
    EXPECT_TRUE(faults.empty());
    ASSERT_EQ(rows.size(), 4u) << "an empty line is no row; a lone CR ends one";
    EXPECT_EQ(rows[0].number, 2);
    EXPECT_EQ(*rows[0].cells[Code], "1");
    EXPECT_EQ(*rows[0].cells[Name], "A, \"B\"");
    EXPECT_EQ(*rows[0].cells[Price], "1.50");
    EXPECT_FALSE(rows[0].cells[Flag]) << "a column the file does not have stays absent";
    EXPECT_EQ(*rows[1].cells[Name], " SPACE ") << "spaces belong to the field";
    EXPECT_EQ(*rows[2].cells[Name], "TWO\nLINES");
    EXPECT_EQ(*rows[3].cells[Name], "");
    EXPECT_EQ(*rows[3].cells[Code], "") << "the last line needs no line break";

    for (const char* broken :
         {"code,name\n1,\"open\n", "code,name\n1,a\"b\"\n", "code,name\n1,\"a\"b\n", ""}) {
        faults.clear();
        readText(broken, ".csv", faults);
        EXPECT_EQ(faults.size(), 1u) << broken;
    }
}

TEST(ArticleFile, ReadsJsonArticlesAndPassesOverWhatIsNotOne) {
    std::vector<Fault> faults;
    const auto rows = readText(
        R"([{"code": "1", "name": "A", "price": "1.50"},
            {"code": 2, "price": 2.5, "colour": [1, {"code": "9"}]},
            3, [4, [5]],
            {"code": {"nested": ["6"]}, "name": null, "flag": true},
            {"code": 7, "name": "B", "price": "7"}])",
        ".json", faults);
    ASSERT_EQ(rows.size(), 2u) << "only whole, faultless objects become rows";
    EXPECT_EQ(rows[0].number, 1);
    EXPECT_EQ(*rows[0].cells[Price], "1.50");
    EXPECT_EQ(rows[1].number, 6);
    EXPECT_EQ(*rows[1].cells[Code], "7");
    std::string seen;
    for (const Fault& f : faults)
        seen += std::to_string(f.row) + " " + f.column + ": " + f.reason + "\n";
    EXPECT_EQ(seen,
              "2 colour: unknown key\n3 : not a JSON object\n4 : not a JSON object\n"
              "5 code: not a string or a number\n5 name: not a string or a number\n"
              "5 flag: not a string or a number\n");

    for (const char* broken : {"{\"code\": \"1\"}", "5", "[{\"code\": \"1\"", "[] []", ""}) {
        faults.clear();
        readText(broken, ".json", faults);
        ASSERT_EQ(faults.size(), 1u) << broken;
        EXPECT_EQ(faults[0].row, 0) << broken;
    }
}

TEST(ArticleFile, AFileWrittenWhileItIsReadIsAFaultOfTheWholeFile) {
    const std::string path = "/tmp/velko-changing-" + std::to_string(getpid()) + ".csv";
    std::ofstream(path) << "code,name,price\n1,A,1\n2,B,2\n";
    std::vector<Fault> faults;
    int rows = 0;
    readArticleFile(
        path,
        [&](Row&) {
            if (rows++ == 0) std::ofstream(path, std::ios::app) << "3,C,3\n";
        },
        faults);
    unlink(path.c_str());
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].row, 0);
    EXPECT_NE(faults[0].reason.find("changed while it was read"), std::string::npos);
}

TEST(ArticleFile, AmountsParseExactlyAndFormatBack) {
    const struct {
        const char* text;
        int places;
        bool good;
        int32_t value;
    } cases[] = {
        {"12", 2, true, 1200},
        {"12.5", 2, true, 1250},
        {"-0.05", 2, true, -5},
        {"21474836.47", 2, true, INT32_MAX},
        {"-21474836.48", 2, true, INT32_MIN},
        {"2.5", 3, true, 2500},
        {"21474836.48", 2, false, 0},
        {"1.005", 2, false, 0},
        {"1.", 2, false, 0},
        {".5", 2, false, 0},
        {"+1", 2, false, 0},
        {"1e3", 2, false, 0},
        {" 1", 2, false, 0},
        {"", 2, false, 0},
        {"-", 2, false, 0},
        {"99999999999999999999", 2, false, 0},
    };
    for (const auto& c : cases) {
        int32_t value = 0;
        EXPECT_EQ(parseAmount(c.text, c.places, &value), c.good) << c.text;
        if (c.good) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    EXPECT_EQ(formatAmount(-5, 2), "-0.05");
    EXPECT_EQ(formatAmount(2500, 3), "2.500");
    EXPECT_EQ(formatAmount(INT32_MIN, 2), "-21474836.48");
}

TEST(ArticleFile, RecordsSurviveAWriteAndAReadInBothFormats) {
    const auto codec = makeTextCodec();
    auto withCounters = [](ArticleRecord r, int32_t quantity, int32_t value) {
        r.quantityCounter = quantity;
        r.valueCounter = value;
        return r;
    };
    // Windows-1250 for ŁAD, "X": a Polish letter, a comma and quotes in one name.
    const std::vector<ArticleRecord> records = {
        withCounters(test::article("00000000000123",
                                   "\xA3"
                                   "AD, \"X\"",
                                   -5, 127, 1),
                     2500, 1234),
        withCounters(test::article("99999999999999", "", 199, -1, 0), -1000, -20)};
    for (const char* extension : {".csv", ".json"}) {
        std::ostringstream text;
        writeArticles(text, formatOf(std::string("x") + extension), records, *codec);
        std::vector<Fault> faults;
        const auto rows = readText(text.str(), extension, faults);
        std::vector<ArticleRecord> back;
        validateRows("file", rows, RowUse::Table, *codec, back, faults);
        EXPECT_TRUE(faults.empty()) << extension << ": " << describe(faults.at(0));
        ASSERT_EQ(back.size(), 2u) << extension;
        EXPECT_STREQ(back[0].code, "123") << "written without leading zeros";
        EXPECT_STREQ(back[0].name, records[0].name);
        EXPECT_EQ(std::memcmp(&back[0].price, &records[0].price, 14), 0) << extension;
        EXPECT_EQ(std::memcmp(&back[1].price, &records[1].price, 14), 0) << extension;
    }
}

}  // namespace
}  // namespace velko::cli
