// The tool's article files without a device: what the readers make of RFC 4180 and JSON, the
// amounts, and records surviving a write and a read in either format.
#include "files/article_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "callbacks.h"
#include "files/validate.h"

namespace velko::cli {

using namespace velko::files;
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

// What a CSV file comes to once read and checked as an upload with its counters: a line per
// record ("code|name|price|flag|group|quantity|value"), per fault ("row N, column C: reason")
// and for the columns passed over ("ignored: A, B").
std::vector<std::string> loadLines(const std::string& text, const ReadOptions& options) {
    const std::string path = "/tmp/velko-load-test-" + std::to_string(getpid()) + ".csv";
    std::ofstream(path, std::ios::binary) << text;
    const auto codec = makeTextCodec();
    std::vector<ArticleRecord> records;
    std::vector<Fault> faults;
    FileLayout layout;
    loadArticleFile(path, RowUse::Table, *codec, records, faults, nullptr, options, &layout);
    unlink(path.c_str());
    std::vector<std::string> lines;
    for (const ArticleRecord& r : records) {
        std::string line;
        for (const std::string& cell : articleCells(r, *codec))
            line += (line.empty() ? "" : "|") + cell;
        lines.push_back(line);
    }
    for (const Fault& f : faults) lines.push_back(describe(f).substr(path.size() + 2));
    std::string ignored;
    for (const std::string& name : layout.ignored) ignored += (ignored.empty() ? "" : ", ") + name;
    if (!ignored.empty()) lines.push_back("ignored: " + ignored);
    return lines;
}

TEST(ArticleFile, ReadsPriceListsAsSpreadsheetsAndShopProgramsWriteThem) {
    ReadOptions comma, semicolon, utf8, cp1250, mapped;
    comma.delimiter = ',';
    semicolon.delimiter = ';';
    utf8.encoding = Encoding::Utf8;
    cp1250.encoding = Encoding::Windows1250;
    ASSERT_EQ(addColumnMapping("Symbol=code", mapped), "");
    ASSERT_EQ(addColumnMapping(" ean = IGNORE", mapped), "");
    ASSERT_EQ(addColumnMapping("Cena netto=price", mapped), "");
    ASSERT_EQ(addColumnMapping("Cena brutto=ignore", mapped), "");
    const struct {
        const char* what;
        std::string text;
        ReadOptions options;
        std::vector<std::string> lines;  // each the start of a line of loadLines
    } cases[] = {
        {"Polish Excel: ';', Windows-1250, decimal commas, Polish headings, blank rows",
         "Kod;Nazwa;Cena brutto;VAT;Grupa\r\n;;;;\r\n1;\xAFYTO \xA3\xD3\x8C\x8F;4,50;23%;2\r\n"
         ";;;;\r\n\r\n2;SER;-0,05;8%;1\r\n;;;;\r\n",
         {},
         {"1|ŻYTO ŁÓŚŹ|4.50|0|2|0.000|0.00", "2|SER|-0.05|0|1|0.000|0.00", "ignored: VAT"}},
        {"tab between fields, headings in any case and spacing, UTF-8 with a byte-order mark",
         "\xEF\xBB\xBF  KOD KRESKOWY \tNazwa  Towaru\tCENA\tILOŚĆ\tWartość\tflaga\tGRUPA\n"
         "5900001000017\tŻUREK\t3.99\t2,500\t9,98\t1\t3\n",
         {},
         {"5900001000017|ŻUREK|3.99|1|3|2.500|9.98"}},
        {"',' between fields: a decimal comma must be quoted",
         "ean,nazwa,cena\n1,A,\"4,50\"\n2,B,4,50\n",
         {},
         {"1|A|4.50|0|1|0.000|0.00", "row 3: 4 fields where the header has 3"}},
        {"--delimiter is taken even when the header says otherwise",
         "code;name;price\n1;A;1\n",
         comma,
         {"row 1, column code: missing from the header; headings taken for it: code, kod,",
          "row 1, column name: missing", "row 1, column price: missing",
          "ignored: code;name;price"}},
        {"thousands separators are refused, decimals with a comma or a point taken",
         "kod;nazwa;cena;ilosc\n1;A;1 234,50;0\n2;B;1.234,50;0\n3;C;\"1,234.50\";0\n"
         "4;D;1\u00A0234;0\n5;E;1.234.567;0\n6;F;12,5;1,234\n7;G;4,505;0\n8;H;4,;0\n",
         {},
         {"6|F|12.50|0|1|1.234|0.00", "row 2, column price: '1 234,50' has a thousands separator",
          "row 3, column price: '1.234,50' has a thousands separator",
          "row 4, column price: '1,234.50' has a thousands separator",
          "row 5, column price: '1\u00A0234' has a thousands separator",
          "row 6, column price: '1.234.567' has a thousands separator",
          "row 8, column price: '4,505' is not an amount with at most 2 decimals",
          "row 9, column price: '4,' is not an amount"}},
        {"the first non-ASCII field decides; a later field in the other encoding is a fault",
         "kod;nazwa;cena\n1;ŻYTO;1\n2;\xAFYTO;1\n",
         {},
         {"1|ŻYTO|1.00|0|1|0.000|0.00",
          "row 3, column name: not valid UTF-8, though row 2 read as UTF-8; if the file is "
          "Windows-1250, give --encoding windows-1250"}},
        {"Windows-1250 decided by a heading; UTF-8 after it is read as Windows-1250",
         "kod;nazwa;ilo\x9C\xE6;cena\n1;\xC5\xBB;0;1\n",
         {},
         {"row 2, column name: character U+0139 'Ĺ' cannot be shown by the device",
          "row 2, column name: character U+00BB '»' cannot be shown by the device"}},
        {"neither UTF-8 nor Windows-1250, nor the encoding that the file began in",
         "kod;nazwa;cena\n1;A\x98;1\n2;B;1\n3;\xAF;1\n4;\xC4\x98;1\n",
         {},
         {"2|B|1.00|0|1|0.000|0.00", "3|Ż|1.00|0|1|0.000|0.00",
          "row 2, column name: byte 0x98 is no Windows-1250 character, and the text is not "
          "UTF-8",
          "row 5, column name: byte 0x98 is no Windows-1250 character, though row 2 read as "
          "Windows-1250; if the file is UTF-8, give --encoding utf-8"}},
        {"--encoding utf-8 refuses Windows-1250",
         "kod;nazwa;cena\n1;\xAFYTO;1\n",
         utf8,
         {"row 2, column name: not valid UTF-8 (--encoding utf-8)"}},
        {"--encoding windows-1250 reads what would pass for UTF-8",
         "kod;nazwa;cena\n1;S\xD3\xA3;1\n",
         cp1250,
         {"1|SÓŁ|1.00|0|1|0.000|0.00"}},
        {"--column maps headings, before the known ones, or passes them over",
         "Symbol;EAN;Nazwa;Cena netto;Cena brutto;Jednostka;\n1;590;A;1,00;1,23;szt.;\n",
         mapped,
         {"1|A|1.00|0|1|0.000|0.00", "ignored: Jednostka, (column 7 without a heading)"}},
        {"two headings for one column, and one given twice",
         "Kod;EAN;nazwa;NAZWA;cena\n1;2;A;B;1\n",
         semicolon,
         {"1|A|1.00|0|1|0.000|0.00",
          "row 1, column EAN: names the code column, as 'Kod' does; --column 'EAN=ignore'",
          "row 1, column NAZWA: column given twice"}},
        {"row numbers are the file's lines where rows start, blank and multi-line ones counted",
         "\r\nkod;nazwa;cena\r\n;;\r\n\"1\";\"A\r\nB\";1\r\n;\r\n\r\n2;C;x\r\n",
         {},
         {"row 4, column name: character U+000D (a control character) cannot be shown",
          "row 4, column name: character U+000A (a control character) cannot be shown",
          "row 8, column price: 'x' is not an amount"}},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> lines = loadLines(c.text, c.options);
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        ASSERT_EQ(lines.size(), c.lines.size()) << c.what << "\n" << all;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, c.lines[i].size()), c.lines[i]) << c.what << "\n" << all;
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
        {"12,5", 2, true, 1250},
        {"-0,05", 2, true, -5},
        {"1,2.3", 2, false, 0},
        {",5", 2, false, 0},
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
        withCounters(test::article("99999999999999", "", 199, -1, 0), -1000, -20),
        // Names a spreadsheet would run: each is written guarded and comes back as it was.
        test::article("7", "-3+A1", 1, 0, 0), test::article("8", "=1+2", 1, 0, 0)};
    for (const char* extension : {".csv", ".json", "excel"}) {
        std::ostringstream text;
        writeArticles(
            text, extension[0] == 'e' ? Format::ExcelCsv : formatOf(std::string("x") + extension),
            records, *codec);
        if (extension[0] != '.') extension = ".csv";
        std::vector<Fault> faults;
        const auto rows = readText(text.str(), extension, faults);
        std::vector<ArticleRecord> back;
        validateRows("file", rows, RowUse::Table, *codec, back, faults);
        EXPECT_TRUE(faults.empty()) << extension << ": " << describe(faults.at(0));
        ASSERT_EQ(back.size(), records.size()) << extension;
        EXPECT_STREQ(back[0].code, "123") << "written without leading zeros";
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_STREQ(back[i].name, records[i].name) << extension;
        EXPECT_EQ(std::memcmp(&back[0].price, &records[0].price, 14), 0) << extension;
        EXPECT_EQ(std::memcmp(&back[1].price, &records[1].price, 14), 0) << extension;
    }
    // For a spreadsheet, a name that would start a formula is text; an amount stays a number.
    std::ostringstream excel;
    writeArticles(
        excel, Format::ExcelCsv,
        {test::article("1", "=HYPERLINK(1)", -5, 0, 0), test::article("2", "@A", 1, 0, 0)}, *codec);
    EXPECT_NE(excel.str().find("\r\n1;'=HYPERLINK(1);-0,05;"), std::string::npos) << excel.str();
    EXPECT_NE(excel.str().find("\r\n2;'@A;0,01;"), std::string::npos) << excel.str();
    std::ostringstream plain;
    writeArticles(plain, Format::Csv, {test::article("1", "-3+A1", 1, 0, 0)}, *codec);
    EXPECT_NE(plain.str().find("\r\n1,'-3+A1,0.01,"), std::string::npos) << plain.str();
}

}  // namespace
}  // namespace velko::cli
