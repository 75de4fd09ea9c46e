#include <gtest/gtest.h>

#include "callbacks.h"
#include "sim_support.h"

namespace velko::test {
namespace {

struct Parsed {
    int32_t rc;
    ArticleRecord record;
};

Parsed parse(const std::string& text) {
    ReplyString reply = text, field;
    Parsed p;
    std::memset(&p.record, 0x55, sizeof p.record);
    p.rc = parseArticleReply(reply, field, p.record);
    return p;
}

TEST(ArticleReply, ReadsTheEightFields) {
    const Parsed p = parse("0;123;ABC;1;12.50;1;3.500;43.75;");
    ASSERT_EQ(p.rc, VELKO_OK);
    EXPECT_STREQ(p.record.code, "00000000000123");
    EXPECT_STREQ(p.record.name, "ABC");
    EXPECT_EQ(p.record.group, 0);
    EXPECT_EQ(int32_t(p.record.price), 1250);
    EXPECT_EQ(p.record.flag, 1);
    EXPECT_EQ(int32_t(p.record.quantityCounter), 3500);
    EXPECT_EQ(int32_t(p.record.valueCounter), 4375);
}

TEST(ArticleReply, ReadsDecimalsAsDecimalPlaces) {
    const struct {
        const char* price;
        const char* quantity;
        int32_t priceValue, quantityValue;
    } cases[] = {
        {"12.5", "1.5", 1250, 1500},
        {"12.50", "1.500", 1250, 1500},
        {"12.05", "1.005", 1205, 1005},
        {"-1.50", "-0.5", -150, -500},
        {"-0.50", "0.050", -50, 50},
        {"7", "2", 700, 2000},
        {"", "", 0, 0},
        {".50", "x", 0, 0},
        {" 3.1xyz", "+4.25 kg", 310, 4250},
        {"5.", "5.", 500, 5000},
        {"21474836.47", "2147483.647", 2147483647, 2147483647},
        {"-21474836.48", "-2147483.648", -2147483647 - 1, -2147483647 - 1},
    };
    for (const auto& c : cases) {
        const std::string reply =
            std::string("0;1;A;1;") + c.price + ";1;" + c.quantity + ";" + c.price + ";";
        const Parsed p = parse(reply);
        ASSERT_EQ(p.rc, VELKO_OK) << reply;
        EXPECT_EQ(int32_t(p.record.price), c.priceValue) << reply;
        EXPECT_EQ(int32_t(p.record.valueCounter), c.priceValue) << reply;
        EXPECT_EQ(int32_t(p.record.quantityCounter), c.quantityValue) << reply;
    }
}

TEST(ArticleReply, RefusesMalformedReplies) {
    const char* const cases[] = {
        "0;123;ABC;1;12.100;1;0;0;",  // three decimals in a price
        "0;123;ABC;1;12.005;1;0;0;",
        "0;123;ABC;1;1.00;1;1.1000;0;",     // four in a quantity
        "0;123;ABC;1;1.00;1;1.000;1.001;",  // three in a value
        "0;123;ABC;1;21474836.48;1;0;0;",   // beyond 32 bits
        "0;123;ABC;1;1.00;1;99999999999;0;",
        "0;123;ABC;1;1.00;1;1.000;1.00",   // no ';' after the eighth field
        "1;123;ABC;1;1.00;1;1.000;1.00;",  // marker
        "00;123;ABC;1;1.00;1;1.000;1.00;",
        "0;0;ABC;1;1.00;1;1.000;1.00;",  // all-zero code
        "0;123456789012345;ABC;1;1.00;1;1.000;1.00;",
        "0;12A;ABC;1;1.00;1;1.000;1.00;",
        "0;;ABC;1;1.00;1;1.000;1.00;",
        "",
        "D;",
        "d",
        "0;123;ABC",
    };
    for (const char* text : cases) EXPECT_EQ(parse(text).rc, VELKO_ERR_FORMAT) << text;
}

TEST(ArticleReply, ReadsGroupFlagAndNameAsTheDeviceMeansThem) {
    const struct {
        const char* reply;
        int8_t group;
        uint8_t flag;
        const char* name;
    } cases[] = {
        {"0;5;ABC;0;1.00;1;1.000;1.00;", -1, 1, "ABC"},
        {"0;5;;1;1.00;2;1.000;1.00;", 0, 0, ""},
        {"0;5;A;129;1;01;1;1;", -128, 1, "A"},
        {"0;5;A;256;1;;1;1;", -1, 0, "A"},
        {"0;5;A;257;1;x;1;1;", 0, 0, "A"},
        {"0;5;A;;1; 1;1;1;", -1, 1, "A"},  // no group number: the device's group 0
        {"0;5;)$D[;1;1;1;1;1;", 0, 1,
         "\xA3\xA5"
         "D\xC6"},
        {"0;5;ABCDEFGHIJKLMNOPQRSTUVWXYZ;1;1;1;1;1;extra;fields;", 0, 1, "ABCDEFGHIJKLMNOPQR"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.reply);
        ASSERT_EQ(p.rc, VELKO_OK) << c.reply;
        EXPECT_EQ(p.record.group, c.group) << c.reply;
        EXPECT_EQ(p.record.flag, c.flag) << c.reply;
        EXPECT_STREQ(p.record.name, c.name) << c.reply;
    }
    // A long name is cut inside its field: nothing after it is touched.
    const Parsed p = parse("0;5;ABCDEFGHIJKLMNOPQRSTUVWXYZ;1;1;1;1;1;");
    EXPECT_EQ(p.record.name[18], '\0');
    EXPECT_EQ(int32_t(p.record.price), 100);
}

struct Download {
    SimLine line;
    DeviceOnLine device;
    VELKOComm link;
    Consume consume;
    ReplyString sessionText;
    int32_t received = -1;

    explicit Download(const std::string& table = "",
                      DeviceModel::Options options = DeviceModel::Options())
        : device(line, options), link(line) {
        device.device.loadTable(table);
    }
    int32_t run() {
        return link.receiveArticles(1, 9600, 1, sessionText, Consume::consumer, 9, received);
    }
};

TEST(ReceiveArticles, HandsEveryArticleToTheConsumerAndAsksForTheNext) {
    Download d(kThree);
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_EQ(d.received, 3);
    ASSERT_EQ(d.consume.log.consumerCalls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.consume.log.consumerCalls[i].index, i);
        EXPECT_EQ(d.consume.log.consumerCalls[i].userValue, 9u);
    }
    const ArticleRecord& b = d.consume.log.consumerCalls[1].record;
    EXPECT_STREQ(b.code, "00000000000002");
    EXPECT_EQ(b.group, 1);
    EXPECT_EQ(int32_t(b.quantityCounter), 1500);
    EXPECT_EQ(int32_t(b.valueCounter), 300);
    EXPECT_EQ(d.device.device.commands(), (std::vector<std::string>{"I0;1;", "G", "G", "G"}));
    // Four more wake-up bytes between the session and the listing command.
    const Bytes& w = d.line.written();
    const Bytes expected = hex("FF FF FF FF 11 11 30 31 06 FF FF FF FF") + encodeFrame("I0;1;");
    EXPECT_EQ(hexOf(Bytes(w.begin(), w.begin() + long(expected.size()))), hexOf(expected));
    EXPECT_EQ(hexOf(Bytes(w.end() - 3, w.end())), "06 13 13");
    EXPECT_FALSE(d.link.isOpen());
}

TEST(ReceiveArticles, AnEmptyTableEndsAtOnce) {
    Download d;
    EXPECT_EQ(d.run(), VELKO_OK);
    EXPECT_TRUE(d.consume.log.consumerCalls.empty());
    EXPECT_EQ(d.received, 0);
    EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 2, d.line.written().end())), "13 13");
}

TEST(ReceiveArticles, TheConsumerCanStopTheDownload) {
    for (int32_t stop : {0, 2, -1}) {
        Download d(kThree);
        d.consume.accept = 1;
        d.consume.stopValue = stop;
        EXPECT_EQ(d.run(), VELKO_ERR_ABORT);
        EXPECT_EQ(d.received, 1);
        EXPECT_EQ(d.consume.log.consumerCalls.size(), 2u);
        EXPECT_EQ(d.device.device.commands(), (std::vector<std::string>{"I0;1;", "G"}));
        EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 3, d.line.written().end())), "06 13 13");
    }
}

TEST(ReceiveArticles, ErrorsEndTheDownloadWithoutEndBytes) {
    const struct {
        const char* what;
        const char* frame;
        const char* reply;
        int32_t rc;
        int32_t received;
    } cases[] = {
        {"E at once", "I0;1;", "E", VELKO_ERR_READ, 0},
        {"E after one", "G", "E", VELKO_ERR_READ, 1},
        {"malformed", "G", "0;1;A;1;1.001;0;0;0;", VELKO_ERR_FORMAT, 1},
        {"not quite D", "G", "D;", VELKO_ERR_FORMAT, 1},
    };
    for (const auto& c : cases) {
        DeviceModel::Options options;
        options.replies[c.frame] = c.reply;
        Download d(kThree, options);
        EXPECT_EQ(d.run(), c.rc) << c.what;
        EXPECT_EQ(d.received, c.received) << c.what;
        EXPECT_EQ(d.consume.log.consumerCalls.size(), size_t(c.received)) << c.what;
        EXPECT_EQ(hexOf(Bytes(d.line.written().end() - 1, d.line.written().end())), "06");
        EXPECT_TRUE(d.link.isOpen()) << c.what;
    }
}

TEST(ReceiveArticles, NoByteOfAnEarlierArticleOrAnOutOfStepDialogueReachesTheConsumer) {
    // Each article's record starts clean: nothing of a longer name before it is left behind.
    Download clean("0;1;ABCDEFGHIJKLMNOPQR;1;1.00;0;0.000;0.00;\n0;2;B;2;2.00;1;1.500;3.00;\n");
    ASSERT_EQ(clean.run(), VELKO_OK);
    const ArticleRecord& b = clean.consume.log.consumerCalls.at(1).record;
    EXPECT_EQ(std::string(b.name, sizeof b.name), std::string("B") + std::string(18, '\0'));

    // A code listed twice (a stale reply read as the answer to "G") ends the download with the
    // device's session closed, before the repeated article reaches the consumer.
    DeviceModel::Options options;
    options.replies["G"] = "0;0001;A;1;1.00;0;0.000;0.00;";
    Download twice(kThree, options);
    EXPECT_EQ(twice.run(), VELKO_ERR_FORMAT);
    EXPECT_EQ(twice.received, 1);
    EXPECT_EQ(twice.consume.log.consumerCalls.size(), 1u);
    EXPECT_EQ(hexOf(Bytes(twice.line.written().end() - 2, twice.line.written().end())), "13 13");
    EXPECT_FALSE(twice.link.isOpen());
}

TEST(ReceiveArticles, LinkFailuresAreReturnedWithoutEndBytes) {
    const struct {
        const char* what;
        int failingWrite;        // the host write that fails
        int unacknowledged;      // frames the device answers with 0x15
        const char* unanswered;  // a frame the device never answers
        int32_t rc;
    } cases[] = {
        {"a wake-up byte of the listing cannot be written", 6, 0, "", VELKO_ERR_SEND},
        {"the listing command is never acknowledged", -1, 10, "", VELKO_ERR_SEND},
        {"no reply to the listing command", -1, 0, "I0;1;", VELKO_ERR_READ},
        {"no reply to the next-article command", -1, 0, "G", VELKO_ERR_READ},
    };
    for (const auto& c : cases) {
        DeviceModel::Options options;
        options.unacknowledged = c.unacknowledged;
        options.unanswered = {c.unanswered};
        Download d(kThree, options);
        d.line.failWriteNumber = c.failingWrite;
        EXPECT_EQ(d.run(), c.rc) << c.what;
        EXPECT_TRUE(d.link.isOpen()) << c.what;
        const Bytes& w = d.line.written();
        EXPECT_NE(hexOf(Bytes(w.end() - 2, w.end())), "13 13") << c.what;
    }
}

TEST(ReceiveArticles, ANullConsumerIsRefusedBeforeAnythingIsOpened) {
    Download d(kThree);
    EXPECT_EQ(d.link.receiveArticles(1, 9600, 1, d.sessionText, nullptr, 0, d.received),
              VELKO_ERR_FORMAT);
    EXPECT_EQ(d.received, 0);
    EXPECT_TRUE(d.line.opened.empty());
}

}  // namespace
}  // namespace velko::test
