// Input nobody asked for, left on the line by an earlier job (a reply that came after its time
// limit, a job stopped while the device still spoke), is thrown away as a session begins: it
// is never read as the answer to the new session's requests.
#include <gtest/gtest.h>

#include "callbacks.h"
#include "sim_support.h"

namespace velko::test {
namespace {

// The codes a download handed to the consumer, in order.
std::vector<std::string> codesOf(const CallbackLog& log) {
    std::vector<std::string> codes;
    for (const auto& call : log.consumerCalls) codes.push_back(call.record.code);
    return codes;
}

const std::vector<std::string> kThreeCodes = {"00000000000001", "00000000000002", "00000000000003"};

TEST(StaleInput, ADiscardDropsWhatArrivedAndKeepsWhatIsOnItsWay) {
    OpenLink t;
    t.line.deliver("AB");
    t.line.deliver("C", 100);
    EXPECT_TRUE(t.link.discardInput());
    EXPECT_EQ(t.line.discardedBytes, 2u);
    EXPECT_EQ(t.line.now(), 0u);  // a discard does not wait
    uint8_t got[2] = {};
    EXPECT_EQ(t.link.receive(got, 1), VELKO_OK);
    EXPECT_EQ(got[0], 'C');
    EXPECT_EQ(t.line.now(), 100u);
    EXPECT_TRUE(t.link.discardInput());  // nothing there: nothing to do
    EXPECT_EQ(t.line.discardedBytes, 2u);
}

TEST(StaleInput, TheSessionDiscardsOnceAfterTheSetUpBeforeWakingTheDevice) {
    SimLine line;
    DeviceOnLine device(line);
    // Whatever is on the line when the first wake-up byte is written has been dropped. (Declared
    // before the link, whose end writes to the line once more.)
    size_t pendingAtWake = 99;
    VELKOComm link(line);
    auto peer = [&device, &pendingAtWake](const Bytes& written, SimLine& l) {
        if (pendingAtWake == 99) pendingAtWake = l.pendingInput();
        device.device.feed(written, device);
    };
    line.setPeer(peer);
    line.deliver(encodeFrame("D"));
    ReplyString sessionText;
    EXPECT_EQ(link.initInLineMode(1, 9600, 1, sessionText), VELKO_OK);
    EXPECT_EQ(line.discards, 1);
    EXPECT_EQ(pendingAtWake, 0u);
    EXPECT_EQ(line.timeouts.back().readTotalConstant, 200u);  // set before the discard
    EXPECT_EQ(hexOf(line.written()), "FF FF FF FF 11 11 30 31 06");
}

// Each case leaves bytes on the line before the job starts; the job's wire traffic and its
// outcome are those of a clean line.
TEST(StaleInput, ALateReplyBeforeTheSessionDoesNotDisturbTheJob) {
    const struct {
        const char* what;
        Bytes stale;
    } cases[] = {
        {"a whole D frame", encodeFrame("D")},
        {"a session answer", encodeFrame("123456;")},
        {"an article reply", encodeFrame("0;1;A;1;1.00;0;0.000;0.00;")},
        {"an acknowledgement and an article reply",
         Bytes{0x06} + encodeFrame("0;2;B;2;2.00;1;1.500;3.00;")},
        {"half a frame", hex("0A 30 3B 31")},
        {"noise", hex("FF 15 13 13 00")},
    };
    for (const auto& c : cases) {
        {
            SimLine line;
            DeviceOnLine device(line);
            device.device.loadTable(kThree);
            VELKOComm link(line);
            Consume consume;
            ReplyString sessionText = "old";
            int32_t received = -1;
            line.deliver(c.stale);
            EXPECT_EQ(link.receiveArticles(1, 9600, 1, sessionText, Consume::consumer, 0, received),
                      VELKO_OK)
                << c.what;
            EXPECT_EQ(received, 3) << c.what;
            EXPECT_EQ(codesOf(consume.log), kThreeCodes) << c.what;
            EXPECT_EQ(sessionText, "") << c.what;
            EXPECT_EQ(device.device.commands(), (std::vector<std::string>{"I0;1;", "G", "G", "G"}))
                << c.what;
            EXPECT_EQ(line.discardedBytes, c.stale.size()) << c.what;
        }
        {
            SimLine line;
            DeviceOnLine device(line);
            VELKOComm link(line);
            ReplyString sessionText = "old", confirmation;
            line.deliver(c.stale);
            EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText, &confirmation), VELKO_OK)
                << c.what;
            EXPECT_EQ(sessionText, "") << c.what;
            EXPECT_EQ(confirmation, "D") << c.what;
            EXPECT_EQ(device.device.counterResets(), 1) << c.what;
            EXPECT_EQ(hexOf(line.written()),
                      "FF FF FF FF 11 11 30 31 06 0A 42 3B 0D AD A1 06 13 13")
                << c.what;
        }
    }
}

// The case that was seen: a counter reset answered after the 30 s the job waits, then a
// download on the same line once that answer has come.
TEST(StaleInput, ACounterResetAnsweredTooLateDoesNotShowInTheNextDownload) {
    SimLine line;
    DeviceModel::Options options;
    options.zeroDelayMs = 31000;
    DeviceOnLine device(line, options);
    device.device.loadTable(kThree);
    {
        VELKOComm link(line);
        ReplyString sessionText;
        EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_READ);
        link.close();  // as every caller does after a job
    }
    line.sleep(2000);  // the late confirmation arrives
    ASSERT_GT(line.pendingInput(), 0u);
    VELKOComm link(line);
    Consume consume;
    ReplyString sessionText;
    int32_t received = -1;
    EXPECT_EQ(link.receiveArticles(1, 9600, 1, sessionText, Consume::consumer, 0, received),
              VELKO_OK);
    EXPECT_EQ(received, 3);
    EXPECT_EQ(codesOf(consume.log), kThreeCodes);
}

TEST(StaleInput, ALineThatFailsItsDiscardIsAnOpenErrorWithThePortClosed) {
    SimLine line;
    DeviceOnLine device(line);
    line.discardFails = true;
    VELKOComm link(line);
    ReplyString sessionText;
    EXPECT_EQ(link.zeroCounters(1, 9600, 1, sessionText), VELKO_ERR_OPEN);
    EXPECT_FALSE(link.isOpen());
    EXPECT_TRUE(line.written().empty());
    EXPECT_EQ(link.openFailure(), "the line closed or failed while its stale input was discarded");
}

}  // namespace
}  // namespace velko::test
