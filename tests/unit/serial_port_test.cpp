#include <gtest/gtest.h>

#include "sim_support.h"

namespace velko::test {
namespace {

TEST(SerialPortOpen, AppliesTheFixedLineSetUpWithoutTimeLimits) {
    SimLine line;
    VELKOComm link(line);
    ASSERT_TRUE(link.open(2, 19200));
    EXPECT_TRUE(link.isOpen());
    EXPECT_EQ(line.opened, std::vector<int32_t>{2});
    ASSERT_EQ(line.setups.size(), 1u);
    const LineSetup& s = line.setups[0];
    EXPECT_EQ(s.dcbLength, 28u);
    EXPECT_EQ(s.baudRate, 19200u);
    EXPECT_EQ(s.flagWord(), 0x00004091u);
    EXPECT_EQ(s.xonLim, 100);
    EXPECT_EQ(s.xoffLim, 100);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stopBits, 0);
    ASSERT_EQ(line.timeouts.size(), 1u);
    const Timeouts& t = line.timeouts[0];
    EXPECT_EQ(t.readInterval + t.readTotalMultiplier + t.readTotalConstant +
                  t.writeTotalMultiplier + t.writeTotalConstant,
              0u);
    EXPECT_EQ(line.queueSizes, (std::vector<uint32_t>{1024, 1024}));
}

TEST(SerialPortOpen, EveryFailingStepLeavesThePortClosed) {
    const struct {
        const char* what;
        void (*fault)(SimLine&);
        int closes;
    } cases[] = {
        {"missing port", [](SimLine& l) { l.portMissing = true; }, 0},
        {"refused baud rate", [](SimLine& l) { l.refusedBauds.insert(9600); }, 1},
        {"refused time limits", [](SimLine& l) { l.refuseTimeouts = true; }, 1},
        {"refused queue sizes", [](SimLine& l) { l.refuseQueues = true; }, 1},
    };
    for (const auto& c : cases) {
        SimLine line;
        c.fault(line);
        VELKOComm link(line);
        EXPECT_FALSE(link.open(1, 9600)) << c.what;
        EXPECT_FALSE(link.isOpen()) << c.what;
        EXPECT_EQ(line.closes, c.closes) << c.what;
    }
}

TEST(SerialPortOpen, AFailureNamesItsCauseAndASuccessClearsIt) {
    const struct {
        const char* what;
        void (*fault)(SimLine&);
        uint32_t baud;
        const char* cause;
    } cases[] = {
        {"missing port", [](SimLine& l) { l.portMissing = true; }, 9600, "no such device"},
        {"refused baud rate", [](SimLine& l) { l.refusedBauds.insert(12345); }, 12345,
         "the port does not take 12345 baud"},
        {"refused time limits", [](SimLine& l) { l.refuseTimeouts = true; }, 9600,
         "the port refused its time limits"},
        {"refused queue sizes", [](SimLine& l) { l.refuseQueues = true; }, 9600,
         "the port refused its queue sizes"},
    };
    for (const auto& c : cases) {
        SimLine line;
        VELKOComm link(line);
        EXPECT_EQ(link.openFailure(), "") << c.what;
        c.fault(line);
        EXPECT_FALSE(link.open(1, c.baud)) << c.what;
        EXPECT_EQ(link.openFailure(), c.cause) << c.what;
        line = SimLine();  // mended
        EXPECT_TRUE(link.open(1, c.baud)) << c.what;
        EXPECT_EQ(link.openFailure(), "") << c.what;
    }
}

TEST(SerialPortOpen, ASessionThatCannotOpenItsLineKeepsTheCause) {
    const struct {
        const char* what;
        void (*fault)(SimLine&);
        const char* cause;
    } cases[] = {
        {"missing port", [](SimLine& l) { l.portMissing = true; }, "no such device"},
        {"refused baud rate", [](SimLine& l) { l.refusedBauds.insert(9600); },
         "the port does not take 9600 baud"},
        {"refused read limits", [](SimLine& l) { l.refuseReadTimeouts = true; },
         "the port refused its read time limits"},
        {"failed discard", [](SimLine& l) { l.discardFails = true; },
         "the line closed or failed while its stale input was discarded"},
    };
    for (const auto& c : cases) {
        SimLine line;
        c.fault(line);
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN) << c.what;
        EXPECT_EQ(link.openFailure(), c.cause) << c.what;
        EXPECT_FALSE(link.isOpen()) << c.what;
    }
}

TEST(SerialPortTimeouts, SetsReadLimitsOnlyOnAnOpenPort) {
    SimLine line;
    VELKOComm link(line);
    EXPECT_FALSE(link.setReadTimeouts(200, 30));
    EXPECT_TRUE(line.timeouts.empty());
    ASSERT_TRUE(link.open(1, 9600));
    EXPECT_TRUE(link.setReadTimeouts(200, 30));
    const Timeouts& t = line.timeouts.back();
    EXPECT_EQ(t.readTotalConstant, 200u);
    EXPECT_EQ(t.readTotalMultiplier, 30u);
    EXPECT_EQ(t.readInterval, 0u);
    EXPECT_EQ(t.writeTotalConstant + t.writeTotalMultiplier, 0u);

    line.refuseReadTimeouts = true;
    EXPECT_FALSE(link.setReadTimeouts(200, 30));
    EXPECT_FALSE(link.isOpen());
}

TEST(SerialPortClose, ClosingTwiceAndDestroyingCloseOnce) {
    SimLine line;
    {
        VELKOComm link(line);
        link.close();
        EXPECT_EQ(line.closes, 0);
        ASSERT_TRUE(link.open(1, 9600));
        link.close();
        link.close();
        EXPECT_FALSE(link.isOpen());
        EXPECT_EQ(line.closes, 1);
        ASSERT_TRUE(link.open(1, 9600));
    }
    EXPECT_EQ(line.closes, 2);
}

TEST(Transfers, ExactCountsOrAnError) {
    OpenLink t;
    EXPECT_EQ(t.link.send("", 0), VELKO_OK);
    EXPECT_EQ(t.link.send("AB", 2), VELKO_OK);
    t.line.shortWriteNumber = 2;
    EXPECT_EQ(t.link.send("AB", 2), VELKO_ERR_SEND);
    t.line.failWriteNumber = 3;
    EXPECT_EQ(t.link.send("AB", 2), VELKO_ERR_SEND);
    EXPECT_TRUE(t.link.isOpen());

    t.line.deliver(Bytes{0x41});
    uint8_t buf[2];
    EXPECT_EQ(t.link.receive(buf, 2), VELKO_ERR_READ);  // one byte in time, not two
    EXPECT_EQ(t.line.now(), 260u);
    EXPECT_EQ(buf[0], 0x41);
    EXPECT_TRUE(t.link.isOpen());

    t.link.close();
    EXPECT_EQ(t.link.send("A", 1), VELKO_ERR_SEND);
    EXPECT_EQ(t.link.receive(buf, 1), VELKO_ERR_READ);
}

TEST(Transfers, DestroyingALinkInSessionSendsTheEndBytes) {
    SimLine line;
    {
        VELKOComm link(line);
        ASSERT_TRUE(link.open(1, 9600));
    }
    EXPECT_EQ(hexOf(line.written()), "13 13");
    EXPECT_EQ(line.closes, 1);
}

}  // namespace
}  // namespace velko::test
