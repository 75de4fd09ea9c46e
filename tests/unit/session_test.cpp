#include <gtest/gtest.h>

#include "sim_support.h"

namespace velko::test {
namespace {

TEST(InitInLineMode, RefusesBadPortsAndAddressesWithoutOpening) {
    const struct {
        int32_t port;
        uint8_t device;
        int32_t rc;
    } cases[] = {{0, 1, VELKO_ERR_PORT},      {3, 1, VELKO_ERR_PORT},
                 {-1, 1, VELKO_ERR_PORT},     {3, 200, VELKO_ERR_PORT},
                 {1, 100, VELKO_ERR_ADDRESS}, {2, 255, VELKO_ERR_ADDRESS}};
    for (const auto& c : cases) {
        SimLine line;
        VELKOComm link(line);
        ReplyString sessionText = "kept";
        EXPECT_EQ(link.initInLineMode(c.port, 9600, c.device, sessionText), c.rc);
        EXPECT_TRUE(line.opened.empty());
        EXPECT_EQ(sessionText, "kept");
    }
}

TEST(InitInLineMode, WakesAndAddressesTheDevice) {
    const struct {
        uint8_t device;
        const char* address;
    } cases[] = {{7, "11 11 30 37"}, {0, "11 11 30 30"}, {99, "11 11 39 39"}, {44, "11 11 34 34"}};
    for (const auto& c : cases) {
        SimLine line;
        DeviceOnLine device(line);
        VELKOComm link(line);
        ReplyString sessionText = "old";
        EXPECT_EQ(link.initInLineMode(1, 9600, c.device, sessionText), VELKO_OK);
        EXPECT_EQ(hexOf(line.written()), std::string("FF FF FF FF ") + c.address + " 06");
        EXPECT_EQ(line.writes().size(), 6u);
        EXPECT_EQ(sessionText, "");
        EXPECT_EQ(link.beginFrameTimeout(), 20000u);
        EXPECT_EQ(line.timeouts.back().readTotalConstant, 200u);
        EXPECT_EQ(line.timeouts.back().readTotalMultiplier, 30u);
        EXPECT_TRUE(link.isOpen());
    }
}

TEST(InitInLineMode, ActsOnTheDevicesAnswer) {
    const struct {
        const char* answer;
        const char* sessionText;
        bool sendsS;
        int32_t rc;
    } cases[] = {
        {"D", "", false, VELKO_OK},
        {"123456;", "123456", false, VELKO_OK},
        {"000000;", "000000", false, VELKO_OK},
        {"123456;7;", "123456", true, VELKO_OK},
        {"12345;", "12345", true, VELKO_OK},
        {"1234567;", "1234567", true, VELKO_OK},
        {"12A456;", "12A456", true, VELKO_OK},
        {";", "", true, VELKO_OK},
        {"D;", "D", true, VELKO_OK},
        {"123456", "unchanged", false, VELKO_ERR_FORMAT},
        {"E", "unchanged", false, VELKO_ERR_FORMAT},
        {"d", "unchanged", false, VELKO_ERR_FORMAT},
    };
    for (const auto& c : cases) {
        SimLine line;
        DeviceModel::Options options;
        options.answer = c.answer;
        DeviceOnLine device(line, options);
        VELKOComm link(line);
        ReplyString sessionText = "unchanged";
        EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), c.rc) << c.answer;
        EXPECT_EQ(sessionText, c.sessionText) << c.answer;
        const Bytes expected =
            hex("FF FF FF FF 11 11 30 31 06") + (c.sendsS ? hex("0A 53 0D E2 09") : Bytes{});
        EXPECT_EQ(hexOf(line.written()), hexOf(expected)) << c.answer;
        EXPECT_TRUE(link.isOpen()) << c.answer;
    }
}

TEST(InitInLineMode, AnUnacknowledgedSKeepsTheFirstField) {
    SimLine line;
    DeviceModel::Options options;
    options.answer = "12;";
    options.unacknowledged = 100;
    DeviceOnLine device(line, options);
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), VELKO_ERR_SEND);
    EXPECT_EQ(sessionText, "12");
    EXPECT_TRUE(link.isOpen());
}

TEST(InitInLineMode, NoAnswerIsAReadErrorAfterTwentySeconds) {
    SimLine line;
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.initInLineMode(1, 9600, 5, sessionText), VELKO_ERR_READ);
    EXPECT_EQ(hexOf(line.written()), "FF FF FF FF 11 11 30 35");
    EXPECT_GT(line.now(), 20000u);
    EXPECT_LE(line.now(), 20230u);
    EXPECT_TRUE(link.isOpen());
}

// A search for devices shortens the wait for the first answer; nothing else of the session
// may change with it.
TEST(InitInLineMode, AShorterFirstAnswerWaitEndsOnlyThatWait) {
    for (const bool answering : {false, true}) {
        SimLine line;
        DeviceModel::Options options;
        options.silent = !answering;
        DeviceOnLine device(line, options);
        VELKOComm link(line);
        link.setFirstAnswerWait(300);
        ReplyString sessionText;
        EXPECT_EQ(link.initInLineMode(1, 9600, 5, sessionText),
                  answering ? VELKO_OK : VELKO_ERR_READ);
        EXPECT_EQ(hexOf(line.written()),
                  std::string("FF FF FF FF 11 11 30 35") + (answering ? " 06" : ""));
        if (!answering) {
            EXPECT_GT(line.now(), 300u);
            EXPECT_LE(line.now(), VELKOComm::unansweredWaitMs(300));
        }
        EXPECT_EQ(link.beginFrameTimeout(), 20000u) << "the session's frames keep 20 s";
        EXPECT_EQ(link.firstAnswerWait(), 300u) << "kept for the next address";
    }
    SimLine line;
    EXPECT_EQ(VELKOComm(line).firstAnswerWait(), 20000u) << "unless the tool asks, 20 s";
}

TEST(InitInLineMode, PortFailuresAreOpenErrorsWithThePortClosed) {
    const struct {
        const char* what;
        void (*fault)(SimLine&);
    } cases[] = {
        {"missing", [](SimLine& l) { l.portMissing = true; }},
        {"baud refused", [](SimLine& l) { l.refusedBauds.insert(9600); }},
        {"read limits refused", [](SimLine& l) { l.refuseReadTimeouts = true; }},
    };
    for (const auto& c : cases) {
        SimLine line;
        c.fault(line);
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), VELKO_ERR_OPEN) << c.what;
        EXPECT_FALSE(link.isOpen()) << c.what;
        EXPECT_TRUE(line.written().empty()) << c.what;
    }
}

TEST(InitInLineMode, WriteFailuresAreReturnedWithThePortOpen) {
    for (int failing : {0, 3, 4}) {  // a wake-up byte, the last one, the address message
        SimLine line;
        line.failWriteNumber = failing;
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), VELKO_ERR_SEND);
        EXPECT_TRUE(link.isOpen());
        EXPECT_EQ(line.writes().size(), size_t(failing));
    }
}

TEST(InitInLineMode, ABadAnswerFrameIsReturnedWithThePortOpen) {
    const struct {
        const char* what;
        Bytes answer;
        int failingWrite;
        int32_t rc;
    } cases[] = {
        {"broken CRC", hex("0A 44 0D 00 00"), -1, VELKO_ERR_CRC},
        {"control byte", hex("0A 44 01 0D"), -1, VELKO_ERR_FORMAT},
        {"cut short", hex("0A 44"), -1, VELKO_ERR_READ},
        {"acknowledgement not written", encodeFrame("D"), 5, VELKO_ERR_SEND},
    };
    for (const auto& c : cases) {
        SimLine line;
        line.failWriteNumber = c.failingWrite;
        line.setPeer([&](const Bytes& written, SimLine& l) {
            if (written.size() == 4) l.deliver(c.answer);
        });
        VELKOComm link(line);
        ReplyString sessionText = "kept";
        EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), c.rc) << c.what;
        EXPECT_EQ(sessionText, "kept") << c.what;
        EXPECT_TRUE(link.isOpen()) << c.what;
    }
}

TEST(NextField, TakesFieldsOffTheFront) {
    ReplyString reply = "a;;b;";
    ReplyString field;
    EXPECT_TRUE(nextField(reply, field));
    EXPECT_EQ(field, "a");
    EXPECT_TRUE(nextField(reply, field));
    EXPECT_EQ(field, "");
    EXPECT_TRUE(nextField(reply, field));
    EXPECT_EQ(field, "b");
    EXPECT_FALSE(nextField(reply, field));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(field, "b");

    reply = ";x";
    EXPECT_TRUE(nextField(reply, field));
    EXPECT_EQ(field, "");
    EXPECT_FALSE(nextField(reply, field));
    EXPECT_EQ(reply, "x");
}

}  // namespace
}  // namespace velko::test
