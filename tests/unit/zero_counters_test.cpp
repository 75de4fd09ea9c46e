#include <gtest/gtest.h>

#include "sim_support.h"

namespace velko::test {
namespace {

const Bytes kOpening = hex("FF FF FF FF 11 11 30 31 06");
const Bytes kB = hex("0A 42 3B 0D AD A1");

TEST(ZeroCounters, PutsTheWholeExchangeOnTheLine) {
    SimLine line;
    DeviceOnLine device(line);
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
    EXPECT_EQ(hexOf(line.written()), hexOf(kOpening + kB + hex("06 13 13")));
    EXPECT_EQ(device.device.counterResets(), 1);
    EXPECT_FALSE(device.device.inLine());
    EXPECT_FALSE(link.isOpen());
    EXPECT_EQ(link.beginFrameTimeout(), 30000u);
}

TEST(ZeroCounters, AnyReplyTextConfirms) {
    for (const char* text : {"D", "E", "", "whatever;"}) {
        SimLine line;
        DeviceModel::Options options;
        options.replies["B;"] = text;
        DeviceOnLine device(line, options);
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK) << text;
        EXPECT_EQ(hexOf(line.written()), hexOf(kOpening + kB + hex("06 13 13"))) << text;
    }
}

TEST(ZeroCounters, WaitsThirtySecondsForTheConfirmation) {
    const struct {
        uint32_t delay;
        int32_t rc;
    } cases[] = {{25000, VELKO_OK}, {29000, VELKO_OK}, {31000, VELKO_ERR_READ}};
    for (const auto& c : cases) {
        SimLine line;
        DeviceModel::Options options;
        options.zeroDelayMs = c.delay;
        DeviceOnLine device(line, options);
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), c.rc) << c.delay;
        const Bytes tail = c.rc == VELKO_OK ? hex("06 13 13") : Bytes{};
        EXPECT_EQ(hexOf(line.written()), hexOf(kOpening + kB + tail)) << c.delay;
        EXPECT_EQ(link.isOpen(), c.rc != VELKO_OK);
        EXPECT_EQ(link.beginFrameTimeout(), 30000u);
    }
}

TEST(ZeroCounters, AnUnacknowledgedCommandIsSentTenTimesAndNoReplyAwaited) {
    SimLine line;
    DeviceModel::Options options;
    options.unacknowledged = 10;
    DeviceOnLine device(line, options);
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_SEND);
    Bytes expected = kOpening;
    for (int i = 0; i < 10; ++i) expected = expected + kB;
    EXPECT_EQ(hexOf(line.written()), hexOf(expected));
    EXPECT_EQ(link.beginFrameTimeout(), 20000u);
    EXPECT_EQ(device.device.counterResets(), 0);
}

TEST(ZeroCounters, SendsSFirstWhenTheAnswerCallsForIt) {
    SimLine line;
    DeviceModel::Options options;
    options.answer = "42;";
    DeviceOnLine device(line, options);
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_OK);
    EXPECT_EQ(hexOf(line.written()),
              hexOf(kOpening + hex("0A 53 0D E2 09") + kB + hex("06 13 13")));
    EXPECT_EQ(device.device.commands(), (std::vector<std::string>{"S", "B;"}));
}

TEST(ZeroCounters, BadArgumentsSendNothing) {
    SimLine line;
    DeviceOnLine device(line);
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(3, 9600, 1, sessionText), VELKO_ERR_PORT);
    EXPECT_EQ(link.zeroCounters(1, 9600, 100, sessionText), VELKO_ERR_ADDRESS);
    EXPECT_TRUE(line.opened.empty());
}

TEST(ZeroCounters, AFailedEndIsASendErrorWithThePortClosed) {
    SimLine line;
    DeviceOnLine device(line);
    line.failWriteNumber = 11;  // 4 wake-up, address, ack, four for "B;", ack, end bytes
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_SEND);
    EXPECT_FALSE(link.isOpen());
}

TEST(ZeroCounters, ABadConfirmationFrameLeavesTheSessionWithoutEndBytes) {
    SimLine line;
    DeviceOnLine device(line);
    line.setPeer([&](const Bytes& written, SimLine& l) {
        if (written == hex("11 11 30 31")) l.deliver(encodeFrame("D"));
        if (written == hex("AD A1")) l.deliver(hex("06 0A 44 0D 00 00"));  // CRC broken
    });
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_CRC);
    EXPECT_EQ(hexOf(line.written()), hexOf(kOpening + kB));
    EXPECT_TRUE(link.isOpen());
}

}  // namespace
}  // namespace velko::test
