#include "api/exclusive_link.h"

#include <gtest/gtest.h>

#include <thread>

#include "sim_support.h"

namespace velko::test {
namespace {

TEST(ExclusiveLink, ACallDuringARunningJobIsTurnedAwayWithoutTouchingIt) {
    SimLine line;
    DeviceOnLine device(line);
    VELKOComm link(line);
    ExclusiveLink gate(link);

    // The device's side runs inside the host's writes, so a call made from there arrives while
    // the job is in the middle of its session, as one from a callback or another thread would.
    int32_t nested = -1;
    size_t writesBefore = 0;
    line.setPeer([&](const Bytes& written, SimLine&) {
        device.device.feed(written, device);
        if (written == hex("AD A1") && nested == -1) {
            writesBefore = line.writes().size();
            nested = gate.run(zero);
        }
    });
    EXPECT_EQ(gate.run(zero), VELKO_OK);
    EXPECT_EQ(nested, VELKO_ERR_OPEN);
    EXPECT_EQ(device.device.counterResets(), 1);
    EXPECT_EQ(line.opened.size(), 1u);
    EXPECT_GT(line.writes().size(), writesBefore);  // the running job went on to its end

    // Once the job is over, the next call runs.
    EXPECT_EQ(gate.run(zero), VELKO_OK);
    EXPECT_EQ(device.device.counterResets(), 2);
}

TEST(ExclusiveLink, ClosesThePortWhateverTheJobLeft) {
    SimLine line;  // nobody answers: the job fails with the session open
    VELKOComm link(line);
    ExclusiveLink gate(link);
    EXPECT_EQ(gate.run(zero), VELKO_ERR_READ);
    EXPECT_FALSE(link.isOpen());
    EXPECT_EQ(line.closes, 1);
    EXPECT_EQ(hexOf(line.written()), "FF FF FF FF 11 11 30 31");  // no end bytes
}

TEST(ExclusiveLink, ACallFromAnotherThreadIsTurnedAway) {
    SimLine line;
    DeviceOnLine device(line);
    VELKOComm link(line);
    ExclusiveLink gate(link);
    int32_t other = -1;
    line.setPeer([&](const Bytes& written, SimLine&) {
        device.device.feed(written, device);
        if (written == hex("AD A1") && other == -1) {
            std::thread t([&] { other = gate.run(zero); });
            t.join();
        }
    });
    EXPECT_EQ(gate.run(zero), VELKO_OK);
    EXPECT_EQ(other, VELKO_ERR_OPEN);
}

}  // namespace
}  // namespace velko::test
