#include <gtest/gtest.h>

#include "link/crc16.h"
#include "sim_support.h"

namespace velko::test {
namespace {

TEST(Crc16, CheckValues) {
    const char digits[] = "123456789";
    EXPECT_EQ(crc16(digits, 9, 0), 0xA829);
    const uint8_t cr = 0x0D;
    EXPECT_EQ(crc16(&cr, 1, crc16(digits, 9, 0)), 0x29C6);
    EXPECT_EQ(crc16(digits, 0, 0x1234), 0x1234);
    // The table begins 0000 8001 8003 0002 8007 0006 0004 8005: a single byte b from zero is
    // table[b].
    const uint16_t expected[8] = {0x0000, 0x8001, 0x8003, 0x0002, 0x8007, 0x0006, 0x0004, 0x8005};
    for (uint8_t b = 0; b < 8; ++b) EXPECT_EQ(crc16(&b, 1, 0), expected[b]) << int(b);
}

struct WorkedFrame {
    const char* text;
    const char* wire;
};

TEST(SendFrame, PutsTheWorkedFramesOnTheLineAsFourTransfers) {
    const WorkedFrame frames[] = {{"", "0A 0D 80 09"},
                                  {"D", "0A 44 0D F8 09"},
                                  {"B;", "0A 42 3B 0D AD A1"},
                                  {"S", "0A 53 0D E2 09"},
                                  {"W38;1;1;", "0A 57 33 38 3B 31 3B 31 3B 0D 07 55"},
                                  {"123456789", "0A 31 32 33 34 35 36 37 38 39 0D 29 C6"}};
    for (const auto& f : frames) {
        OpenLink t;
        answerFrames(t.line, {}, 0);
        EXPECT_EQ(t.link.sendFrame(f.text), VELKO_OK) << f.text;
        EXPECT_EQ(hexOf(t.line.written()), f.wire) << f.text;
        ASSERT_EQ(t.line.writes().size(), 4u);
        EXPECT_EQ(t.line.writes()[1].size(), std::string(f.text).size());
        EXPECT_EQ(t.line.sleeps, std::vector<uint32_t>{100});
    }
}

TEST(SendFrame, RefusesTextsTheDeviceCannotTakeBeforeSendingAnything) {
    const struct {
        std::string text;
        int32_t rc;
    } cases[] = {
        {std::string(256, 'A'), VELKO_OK},
        {std::string(257, 'A'), VELKO_ERR_FORMAT},
        {"A\x7F", VELKO_OK},
        {"A\x1F", VELKO_ERR_FORMAT},
        {"A\nB", VELKO_ERR_FORMAT},
        {"A\x80", VELKO_ERR_FORMAT},
        {std::string(257, '\x01'), VELKO_ERR_FORMAT},
    };
    for (const auto& c : cases) {
        OpenLink t;
        answerFrames(t.line, {}, 0);
        EXPECT_EQ(t.link.sendFrame(c.text.c_str()), c.rc) << c.text.size();
        EXPECT_EQ(t.line.written().empty(), c.rc != VELKO_OK);
    }
}

TEST(SendFrame, RepeatsTheWholeFrameUntilAcknowledged) {
    OpenLink t;
    answerFrames(t.line, {0x15}, 2);
    EXPECT_EQ(t.link.sendFrame("D"), VELKO_OK);
    const Bytes frame = hex("0A 44 0D F8 09");
    EXPECT_EQ(t.line.written(), frame + frame + frame);
    EXPECT_EQ(t.line.sleeps, (std::vector<uint32_t>{100, 100, 100}));
    EXPECT_EQ(t.line.pendingInput(), 0u);
}

TEST(SendFrame, GivesUpAfterTenUnacknowledgedAttempts) {
    OpenLink t;  // nobody answers
    const uint64_t start = t.line.now();
    EXPECT_EQ(t.link.sendFrame("D"), VELKO_ERR_SEND);
    EXPECT_EQ(t.line.written().size(), 5u * 10);
    // Each attempt: 100 ms pause and a 230 ms wait for the acknowledgement.
    EXPECT_EQ(t.line.now() - start, 10u * 330);
}

TEST(SendFrame, StopsAtOnceWhenAWriteFails) {
    for (int failing = 0; failing < 4; ++failing) {
        OpenLink t;
        answerFrames(t.line, {}, 0);
        t.line.failWriteNumber = failing;
        EXPECT_EQ(t.link.sendFrame("D"), VELKO_ERR_SEND);
        EXPECT_EQ(t.line.sleeps.size(), 1u);
        EXPECT_EQ(t.line.writes().size(), size_t(failing));
    }
}

TEST(ReceiveFrame, SkipsNoiseBeforeTheFrameStartAndAcknowledges) {
    OpenLink t;
    t.line.deliver(hex("FF 06 13 41 0D 00") + encodeFrame("123456;"));
    ReplyString reply = "old";
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_OK);
    EXPECT_EQ(reply, "123456;");
    EXPECT_EQ(hexOf(t.line.written()), "06");
    // The pause after the acknowledgement is owed until the line is next used.
    EXPECT_TRUE(t.line.sleeps.empty());
    t.link.close();
    EXPECT_EQ(t.line.sleeps, std::vector<uint32_t>{20});
}

TEST(Pauses, RunTogetherUntilTheLineIsUsedAndOverlapTheCallersWork) {
    OpenLink t;
    answerFrames(t.line, {}, 0);
    t.line.deliver(encodeFrame("D"));
    ReplyString reply;
    ASSERT_EQ(t.link.receiveFrame(reply, true), VELKO_OK);
    const uint64_t acknowledged = t.line.now();
    ASSERT_EQ(t.link.sendFrame("D"), VELKO_OK);
    // 20 ms after the acknowledgement and 100 ms before the frame: one sleep.
    EXPECT_EQ(t.line.sleeps, std::vector<uint32_t>{120});
    EXPECT_EQ(t.line.now(), acknowledged + 120);

    // Work of the caller's between them counts toward the pauses.
    t.line.sleeps.clear();
    t.line.deliver(encodeFrame("D"));
    ASSERT_EQ(t.link.receiveFrame(reply, true), VELKO_OK);
    t.line.sleep(50);
    ASSERT_EQ(t.link.sendFrame("D"), VELKO_OK);
    EXPECT_EQ(t.line.sleeps, (std::vector<uint32_t>{50, 100}));
}

TEST(ReceiveFrame, ChecksLengthBytesAndCrc) {
    const struct {
        Bytes wire;
        int32_t rc;
        std::string reply;
        size_t leftOnLine;
    } cases[] = {
        {hex("0A 0D 80 09"), VELKO_OK, "", 0},
        {encodeFrame(std::string(256, 'x')), VELKO_OK, std::string(256, 'x'), 0},
        // The 257th text byte fails the frame before anything after it is read.
        {encodeFrame(std::string(257, 'x')), VELKO_ERR_FORMAT, std::string(257, 'x'), 3},
        {hex("0A 44 0D F8 0A"), VELKO_ERR_CRC, "D", 0},
        {hex("0A 44 0A 0D F8 09"), VELKO_ERR_FORMAT, "D", 3},
        {hex("0A 44 80 0D"), VELKO_ERR_FORMAT, "D", 1},
        {hex("0A 44 7F 0D") + Bytes{0, 0}, VELKO_ERR_CRC, "D\x7F", 0},
        {hex("0A 44"), VELKO_ERR_READ, "D", 0},        // the device stops inside the frame
        {hex("0A 44 0D F8"), VELKO_ERR_READ, "D", 0},  // ... or inside the CRC
    };
    for (const auto& c : cases) {
        OpenLink t;
        t.line.deliver(c.wire);
        ReplyString reply;
        EXPECT_EQ(t.link.receiveFrame(reply, true), c.rc) << hexOf(c.wire);
        EXPECT_EQ(reply, c.reply) << hexOf(c.wire);
        EXPECT_EQ(t.line.pendingInput(), c.leftOnLine) << hexOf(c.wire);
        EXPECT_EQ(t.line.written(), c.rc == VELKO_OK ? Bytes{0x06} : Bytes{}) << hexOf(c.wire);
    }
}

TEST(ReceiveFrame, AStalledFrameFailsAfterOneReadLimitWhateverTheFrameStartWait) {
    OpenLink t;
    t.link.setBeginFrameTimeout(20000);
    t.line.deliver(hex("0A 44"));
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_ERR_READ);
    EXPECT_EQ(t.line.now(), 230u);
}

TEST(ReceiveFrame, WaitsForTheFrameStartUntilBeginFrameTimeoutHasPassed) {
    for (uint32_t timeout : {5000u, 20000u, 30000u}) {
        OpenLink t;
        t.link.setBeginFrameTimeout(timeout);
        ReplyString reply;
        EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_ERR_READ);
        // One-byte reads of 230 ms each until more than the timeout has passed.
        EXPECT_GT(t.line.now(), timeout);
        EXPECT_LE(t.line.now(), timeout + 230);
        EXPECT_TRUE(t.line.written().empty());
    }
}

TEST(ReceiveFrame, AFrameJustInsideTheWaitIsTaken) {
    OpenLink t;
    t.link.setBeginFrameTimeout(30000);
    t.line.deliver(encodeFrame("D"), 25000);
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_OK);
    EXPECT_EQ(reply, "D");
}

TEST(ReceiveFrame, CountsTheWaitAcrossAWrapOfTheTickCounter) {
    for (uint32_t start : {0xFFFFFFFFu - 5000, 0xFFFFFFFFu - 100, 0xFFFFFFFFu}) {
        OpenLink t(start);
        t.link.setBeginFrameTimeout(20000);
        ReplyString reply;
        EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_ERR_READ);
        EXPECT_GT(t.line.now(), 20000u - 1) << start;
        EXPECT_LE(t.line.now(), 20000u + 230) << start;
    }
}

TEST(ReceiveFrame, WithoutTheAcknowledgeFlagSendsNothing) {
    OpenLink t;
    t.line.deliver(encodeFrame("D"));
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, false), VELKO_OK);
    EXPECT_TRUE(t.line.written().empty());
    EXPECT_TRUE(t.line.sleeps.empty());
}

TEST(ReceiveFrame, ReadsAtLeastOnceEvenWithAZeroWait) {
    OpenLink t;
    t.link.setBeginFrameTimeout(0);
    t.line.deliver(encodeFrame("D"), 100);
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_OK);
    OpenLink idle;
    idle.link.setBeginFrameTimeout(0);
    EXPECT_EQ(idle.link.receiveFrame(reply, true), VELKO_ERR_READ);
    EXPECT_EQ(idle.line.now(), 230u);
}

TEST(ReceiveFrame, AFailedAcknowledgementIsASendError) {
    OpenLink t;
    t.line.deliver(encodeFrame("D"));
    t.line.failWriteNumber = 0;
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_ERR_SEND);
}

TEST(ReceiveFrame, AFailingPortIsWaitedOutNotSpunOn) {
    OpenLink t;
    t.link.setBeginFrameTimeout(20000);
    t.line.readsFail = true;
    ReplyString reply;
    EXPECT_EQ(t.link.receiveFrame(reply, true), VELKO_ERR_READ);
    EXPECT_GT(t.line.now(), 20000u);
    // Each failed read lasted its 230 ms limit: about 88 of them, not millions.
    EXPECT_LE(t.line.sleeps.size(), 20000u / 230 + 1);
}

TEST(ReceiveAck, ConsumesExactlyOneByteWhateverItIs) {
    OpenLink t;
    t.line.deliver(hex("15 06 06"));
    EXPECT_EQ(t.link.receiveAck(), VELKO_ERR_READ);
    EXPECT_EQ(t.link.receiveAck(), VELKO_OK);
    EXPECT_EQ(t.line.pendingInput(), 1u);
    EXPECT_EQ(t.link.receiveAck(), VELKO_OK);
    EXPECT_EQ(t.link.receiveAck(), VELKO_ERR_READ);
}

TEST(SendFF, SendsOneWritePerByte) {
    OpenLink t;
    EXPECT_EQ(t.link.sendFF(4), VELKO_OK);
    EXPECT_EQ(t.line.writes(), std::vector<Bytes>(4, Bytes{0xFF}));
    EXPECT_EQ(t.link.sendFF(0), VELKO_OK);
    EXPECT_EQ(t.link.sendFF(-3), VELKO_OK);
    EXPECT_EQ(t.line.writes().size(), 4u);
    t.line.failWriteNumber = 5;
    EXPECT_EQ(t.link.sendFF(4), VELKO_ERR_SEND);
    EXPECT_EQ(t.line.writes().size(), 5u);
}

TEST(EndInLineMode, SendsTheEndBytesAndClosesEvenWhenTheyFail) {
    OpenLink t;
    EXPECT_EQ(t.link.endInLineMode(), VELKO_OK);
    EXPECT_EQ(t.line.writes(), std::vector<Bytes>{hex("13 13")});
    EXPECT_FALSE(t.link.isOpen());

    OpenLink failing;
    failing.line.failWriteNumber = 0;
    EXPECT_EQ(failing.link.endInLineMode(), VELKO_ERR_SEND);
    EXPECT_FALSE(failing.link.isOpen());
    EXPECT_EQ(failing.line.closes, 1);
}

}  // namespace
}  // namespace velko::test
