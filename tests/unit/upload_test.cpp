#include <gtest/gtest.h>

#include "api/export_jobs.h"
#include "callbacks.h"
#include "sim_support.h"

namespace velko::test {
namespace {

struct Upload {
    SimLine line;
    DeviceOnLine device;
    VELKOComm link;
    Supply supply;
    ReplyString sessionText;
    int32_t accepted = -1, refused = -1;

    explicit Upload(DeviceModel::Options options = DeviceModel::Options())
        : device(line, options), link(line) {}

    int32_t run(uint8_t continueOnRefusal = 0, uint8_t skip1 = 0, uint8_t skip2 = 0,
                UploadProgress progress = Supply::progress) {
        return link.sendArticles(1, 9600, continueOnRefusal, skip1, skip2, 1, sessionText,
                                 Supply::supplier, progress, 77, accepted, refused);
    }
    const std::vector<std::string>& commands() const { return device.device.commands(); }
};

TEST(SendArticles, SendsThePreparationsAndOneFramePerArticle) {
    DeviceModel::Options options;
    options.answer = "123456;";
    Upload u(options);
    u.supply.articles = {article("5", "Chleb", 250), article("1234", "Mas\xB3o", -1999, 4, 7)};
    EXPECT_EQ(u.run(), VELKO_OK);
    EXPECT_EQ(u.commands(), (std::vector<std::string>{"W38;1;1;", "W38;2;1;", "W0;5;CHLEB;1;250;0;",
                                                      "W0;1234;MAS)O;5;-1999;1;"}));
    EXPECT_EQ(u.accepted, 2);
    EXPECT_EQ(u.refused, 0);
    ASSERT_EQ(u.supply.log.supplierCalls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(u.supply.log.supplierCalls[i].index, i);
        EXPECT_EQ(u.supply.log.supplierCalls[i].sessionText, "123456");
        EXPECT_EQ(u.supply.log.supplierCalls[i].userValue, 77u);
    }
    ASSERT_EQ(u.supply.log.progressCalls.size(), 2u);
    EXPECT_EQ(u.supply.log.progressCalls[1].outcome, 1);
    EXPECT_EQ(u.supply.log.progressCalls[1].accepted, 2);
    EXPECT_EQ(u.device.device.table().size(), 2u);
    EXPECT_FALSE(u.device.device.inLine());
    EXPECT_FALSE(u.link.isOpen());
    // The frame itself, byte for byte.
    const Bytes frame = encodeFrame("W0;5;CHLEB;1;250;0;");
    const Bytes& w = u.line.written();
    EXPECT_NE(std::search(w.begin(), w.end(), frame.begin(), frame.end()), w.end());
}

TEST(SendArticles, AnEmptyListStillPreparesAndEndsTheSession) {
    for (int32_t end : {0, 2, -1}) {
        Upload u;
        u.supply.endValue = end;
        EXPECT_EQ(u.run(), VELKO_OK) << end;
        EXPECT_EQ(u.commands(), (std::vector<std::string>{"W38;1;1;", "W38;2;1;"})) << end;
        EXPECT_EQ(u.accepted + u.refused, 0);
        EXPECT_EQ(hexOf(Bytes(u.line.written().end() - 2, u.line.written().end())), "13 13");
    }
}

TEST(SendArticles, SkipsThePreparationsItIsToldTo) {
    const struct {
        uint8_t skip1, skip2;
        std::vector<std::string> sent;
    } cases[] = {{0, 0, {"W38;1;1;", "W38;2;1;", "W0;5;A;1;1;0;"}},
                 {1, 0, {"W38;2;1;", "W0;5;A;1;1;0;"}},
                 {0, 1, {"W38;1;1;", "W0;5;A;1;1;0;"}},
                 {1, 1, {"W0;5;A;1;1;0;"}}};
    for (const auto& c : cases) {
        Upload u;
        u.supply.articles = {article("5", "a", 1)};
        EXPECT_EQ(u.run(0, c.skip1, c.skip2), VELKO_OK);
        EXPECT_EQ(u.commands(), c.sent);
    }
}

TEST(SendArticles, PreparationRepliesAreAcknowledgedAndIgnored) {
    DeviceModel::Options options;
    options.replies["W38;1;1;"] = "E";
    options.replies["W38;2;1;"] = "anything;";
    Upload u(options);
    u.supply.articles = {article("5", "a", 1)};
    EXPECT_EQ(u.run(), VELKO_OK);
    EXPECT_EQ(u.accepted, 1);
}

TEST(SendArticles, TheFirstRefusalEndsTheUploadUnlessToldToGoOn) {
    DeviceModel::Options options;
    options.refusedCodes = {"3"};
    options.replies["W0;4;D;1;4;0;"] = "D;";  // not exactly "D": a refusal
    {
        Upload u(options);
        u.supply.articles = {article("1", "a", 1), article("2", "b", 2), article("3", "c", 3),
                             article("4", "d", 4)};
        EXPECT_EQ(u.run(), VELKO_ERR_READ);
        EXPECT_EQ(u.accepted, 2);
        EXPECT_EQ(u.refused, 1);
        EXPECT_EQ(u.supply.log.supplierCalls.size(), 3u);
        ASSERT_EQ(u.supply.log.progressCalls.size(), 3u);
        const auto& last = u.supply.log.progressCalls[2];
        EXPECT_EQ(last.index, 2);
        EXPECT_EQ(last.outcome, 0);
        EXPECT_EQ(last.accepted, 2);
        EXPECT_EQ(last.refused, 1);
        EXPECT_STREQ(last.record.code, "3");
        EXPECT_EQ(hexOf(Bytes(u.line.written().end() - 2, u.line.written().end())), "13 13");
        EXPECT_FALSE(u.link.isOpen());
    }
    {
        Upload u(options);
        u.supply.articles = {article("1", "a", 1), article("2", "b", 2), article("3", "c", 3),
                             article("4", "d", 4)};
        EXPECT_EQ(u.run(1), VELKO_OK);
        EXPECT_EQ(u.accepted, 2);
        EXPECT_EQ(u.refused, 2);
        EXPECT_EQ(u.supply.log.supplierCalls.size(), 5u);
    }
}

TEST(SendArticles, WritesFieldsAsTheDeviceReadsThem) {
    const struct {
        ArticleRecord record;
        const char* frame;
    } cases[] = {
        {article("5", "Chleb", 250, 0, 0), "W0;5;CHLEB;1;250;0;"},
        {article("00000000000123", "x", 0, 127, 1), "W0;00000000000123;X;128;0;1;"},
        {article("7", "", -5, -1, 255), "W0;7;;0;-5;1;"},
        {article("8", "(a)", 2147483647, -128, 0), "W0;8;(A);-127;2147483647;0;"},
    };
    Upload u;
    for (const auto& c : cases) u.supply.articles.push_back(c.record);
    EXPECT_EQ(u.run(1, 1, 1), VELKO_OK);
    ASSERT_EQ(u.commands().size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(u.commands()[i], cases[i].frame);
}

TEST(SendArticles, KeepsWhatTheSupplierLeavesAloneFromThePreviousArticle) {
    Upload u;
    u.supply.articles = {article("1", "Bulka", 50, 2, 1)};
    ArticleRecord second;
    std::memset(&second, 0, sizeof second);
    u.supply.articles.push_back(second);
    // The second call writes only code and price.
    u.supply.during = [](int32_t index) {
        if (index != 1) return;
        Supply& s = *Supply::current();
        s.articles[1] = s.log.supplierCalls[1].record;
        std::strcpy(s.articles[1].code, "2");
        s.articles[1].price = 60;
    };
    EXPECT_EQ(u.run(0, 1, 1), VELKO_OK);
    EXPECT_EQ(u.commands(), (std::vector<std::string>{"W0;1;BULKA;3;50;1;", "W0;2;BULKA;3;60;1;"}));
}

TEST(SendArticles, RefusesRecordsThatWouldCorruptTheFrameBeforeSendingIt) {
    ArticleRecord noNul = article("1", "x", 1);
    std::memset(noNul.code, '9', sizeof noNul.code);  // 15 digits, no NUL
    std::memset(noNul.name, 'N', sizeof noNul.name);  // 19 letters, no NUL
    noNul.price = 0x3B3B3B3B;                         // ';' bytes right after the name
    const struct {
        const char* what;
        ArticleRecord bad;
        int32_t rc;
        const char* sent;  // the frame that did go out, if any
    } cases[] = {
        {"unmappable letter", article("2", "Caf\xE9", 1), VELKO_ERR_FORMAT, nullptr},
        {"control byte", article("2", "a\tb", 1), VELKO_ERR_FORMAT, nullptr},
        {"byte in code", article("2\x80", "a", 1), VELKO_ERR_FORMAT, nullptr},
        {"separator in name", article("2", "a;b", 1), VELKO_ERR_FORMAT, nullptr},
        {"separator in code", article("2;3", "a", 1), VELKO_ERR_FORMAT, nullptr},
        {"no NUL", noNul, VELKO_OK, "W0;999999999999999;NNNNNNNNNNNNNNNNNNN;1;993737531;0;"},
    };
    for (const auto& c : cases) {
        Upload u;
        u.supply.articles = {article("1", "ok", 1), c.bad};
        EXPECT_EQ(u.run(1, 1, 1), c.rc) << c.what;
        EXPECT_EQ(u.accepted, 1) << c.what;
        ASSERT_GE(u.commands().size(), 1u);
        EXPECT_EQ(u.commands().size(), c.sent ? 2u : 1u) << c.what;
        if (c.sent) {
            EXPECT_EQ(u.commands()[1], c.sent) << c.what;
        }
        if (c.rc != VELKO_OK) {
            // Nothing after the first article's acknowledgement: no frame, no end bytes.
            EXPECT_EQ(hexOf(Bytes(u.line.written().end() - 1, u.line.written().end())), "06");
            EXPECT_TRUE(u.link.isOpen());
        }
    }
}

TEST(SendArticles, FailuresLeaveTheSessionWithoutEndBytes) {
    {
        Upload u;  // no supplier at all: nothing opened
        EXPECT_EQ(u.link.sendArticles(1, 9600, 0, 0, 0, 1, u.sessionText, nullptr, nullptr, 0,
                                      u.accepted, u.refused),
                  VELKO_ERR_FORMAT);
        EXPECT_TRUE(u.line.opened.empty());
        EXPECT_EQ(u.accepted + u.refused, 0);
    }
    {
        Upload u;
        u.supply.articles = {article("1", "a", 1)};
        EXPECT_EQ(u.link.sendArticles(0, 9600, 0, 0, 0, 1, u.sessionText, Supply::supplier, nullptr,
                                      0, u.accepted, u.refused),
                  VELKO_ERR_PORT);
        EXPECT_EQ(u.accepted + u.refused, 0);
        EXPECT_TRUE(u.supply.log.supplierCalls.empty());
    }
    {
        DeviceModel::Options options;
        options.unacknowledged = 10;  // "W38;1;1;" is never acknowledged
        Upload u(options);
        u.supply.articles = {article("1", "a", 1)};
        EXPECT_EQ(u.run(), VELKO_ERR_SEND);
        EXPECT_TRUE(u.supply.log.supplierCalls.empty());
        EXPECT_TRUE(u.link.isOpen());
    }
    {
        Upload u;
        u.supply.articles = {article("1", "a", 1), article("2", "b", 1)};
        // The device goes quiet after acknowledging the second article's frame.
        u.line.setPeer([&](const Bytes& written, SimLine& l) {
            if (u.device.device.commands().size() == 1 && written.size() == 2) {
                l.deliver(Bytes{0x06});
                return;
            }
            u.device.device.feed(written, u.device);
        });
        EXPECT_EQ(u.run(0, 1, 1), VELKO_ERR_READ);
        EXPECT_EQ(u.accepted, 1);
        EXPECT_TRUE(u.link.isOpen());
    }
}

TEST(ExportedSend, MapsItsThirdArgumentByItsLowByte) {
    const struct {
        uint32_t third;
        bool second;
    } cases[] = {{0, true}, {1, false}, {256, true}, {0x101, false}};
    for (const auto& c : cases) {
        Upload u;
        u.supply.articles = {article("1", "a", 1), article("2", "b", 1)};
        u.device.device = DeviceModel([] {
            DeviceModel::Options o;
            o.refusedCodes = {"1"};
            return o;
        }());
        EXPECT_EQ(exportedSend(u.link, 1, 9600, c.third, 1, Supply::supplier, 5), VELKO_ERR_READ);
        std::vector<std::string> expected{"W38;1;1;"};
        if (c.second) expected.push_back("W38;2;1;");
        expected.push_back("W0;1;A;1;1;0;");  // refused: the upload stops there
        EXPECT_EQ(u.commands(), expected) << c.third;
        EXPECT_TRUE(u.supply.log.progressCalls.empty());
    }
}

}  // namespace
}  // namespace velko::test
