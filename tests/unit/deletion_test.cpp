#include <gtest/gtest.h>

#include "callbacks.h"
#include "sim_support.h"

namespace velko::test {
namespace {

struct Deletion {
    SimLine line;
    DeviceOnLine device;
    VELKOComm link;
    Supply supply;
    ReplyString sessionText;
    int32_t deleted = -1;

    explicit Deletion(DeviceModel::Options options = DeviceModel::Options())
        : device(line, options), link(line) {
        device.device.loadTable(
            "0;1;A;1;1;0;0;0;\n0;2;B;1;1;0;0;0;\n0;3;C;1;1;0;0;0;\n0;123;D;1;1;0;0;0;\n");
    }
    int32_t run() {
        return link.deleteArticles(1, 9600, 1, sessionText, Supply::supplier, 3, deleted);
    }
    const std::vector<std::string>& commands() const { return device.device.commands(); }
};

TEST(DeleteArticles, SendsOneCommandPerCode) {
    Deletion d;
    d.supply.articles = {article("1", "", 0), article("2", "", 0), article("3", "", 0)};
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_EQ(d.commands(), (std::vector<std::string>{"C0;1;", "C0;2;", "C0;3;"}));
    EXPECT_EQ(d.deleted, 3);
    ASSERT_EQ(d.supply.log.supplierCalls.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(d.supply.log.supplierCalls[i].index, i);
    EXPECT_EQ(d.device.device.table().size(), 1u);
    EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 3, d.line.written().end())), "06 13 13");
}

TEST(DeleteArticles, AnEmptyListEndsTheSessionAtOnce) {
    Deletion d;
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_EQ(hexOf(d.line.written()), "FF FF FF FF 11 11 30 31 06 13 13");
    EXPECT_EQ(d.deleted, 0);
}

TEST(DeleteArticles, SendsCodesExactlyAsGiven) {
    Deletion d(DeviceModel::Options{});
    ArticleRecord noNul = article("", "", 0);
    std::memset(noNul.code, '7', sizeof noNul.code);
    std::memset(noNul.name, ';', sizeof noNul.name);
    d.supply.articles = {article("123", "", 0), article("00000000000123", "", 0),
                         article("", "", 0), noNul};
    d.device.device = DeviceModel([] {
        DeviceModel::Options o;
        o.replies = {{"C0;00000000000123;", "D"}, {"C0;;", "D"}, {"C0;777777777777777;", "D"}};
        return o;
    }());
    d.device.device.loadTable("0;123;D;1;1;0;0;0;\n");
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_EQ(d.commands(), (std::vector<std::string>{"C0;123;", "C0;00000000000123;", "C0;;",
                                                      "C0;777777777777777;"}));
}

TEST(DeleteArticles, TheSameCodeTwiceIsSentTwice) {
    Deletion d(DeviceModel::Options{});
    d.device.device = DeviceModel([] {
        DeviceModel::Options o;
        o.replies = {{"C0;2;", "D"}};
        return o;
    }());
    d.supply.articles = {article("2", "", 0), article("2", "", 0)};
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_EQ(d.commands(), (std::vector<std::string>{"C0;2;", "C0;2;"}));
}

TEST(DeleteArticles, AnyReplyButDEndsWithAReadError) {
    for (const char* reply : {"E", "D;", "d"}) {
        DeviceModel::Options options;
        options.replies["C0;2;"] = reply;
        Deletion d(options);
        d.supply.articles = {article("1", "", 0), article("2", "", 0), article("3", "", 0)};
        EXPECT_EQ(d.run(), VELKO_ERR_READ) << reply;
        EXPECT_EQ(d.deleted, 1);
        EXPECT_EQ(d.supply.log.supplierCalls.size(), 2u);
        EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 1, d.line.written().end())), "06");
        EXPECT_TRUE(d.link.isOpen());
    }
}

TEST(DeleteArticles, LinkFailuresAreReturnedWithoutEndBytes) {
    const struct {
        const char* what;
        int unacknowledged;
        const char* unanswered;
        int32_t rc;
    } cases[] = {
        {"the command is never acknowledged", 10, "", VELKO_ERR_SEND},
        {"no reply to the command", 0, "C0;1;", VELKO_ERR_READ},
    };
    for (const auto& c : cases) {
        DeviceModel::Options options;
        options.unacknowledged = c.unacknowledged;
        options.unanswered = {c.unanswered};
        Deletion d(options);
        d.supply.articles = {article("1", "", 0)};
        EXPECT_EQ(d.run(), c.rc) << c.what;
        EXPECT_EQ(d.deleted, 0);
        EXPECT_EQ(d.supply.log.supplierCalls.size(), 1u);
        EXPECT_TRUE(d.link.isOpen()) << c.what;
    }
}

TEST(DeleteArticles, RefusesCodesThatCannotTravelBeforeSendingThem) {
    for (const char* code : {"1\x80", "1;2", "\x1F"}) {
        Deletion d;
        d.supply.articles = {article("1", "", 0), article(code, "", 0)};
        EXPECT_EQ(d.run(), VELKO_ERR_FORMAT) << code;
        EXPECT_EQ(d.commands(), std::vector<std::string>{"C0;1;"});
        EXPECT_EQ(d.deleted, 1);
        EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 1, d.line.written().end())), "06");
    }
    Deletion d;
    EXPECT_EQ(d.link.deleteArticles(1, 9600, 1, d.sessionText, nullptr, 0, d.deleted),
              VELKO_ERR_FORMAT);
    EXPECT_TRUE(d.line.opened.empty());
}

}  // namespace
}  // namespace velko::test
