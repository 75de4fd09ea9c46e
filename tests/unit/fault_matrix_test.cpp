// Every job crossed with every fault of the device or the line, on the simulated line with the
// virtual clock: the result code, the end bytes or their absence, how often the faulted frame
// went out, the callback calls, and the port closed afterwards.
#include <gtest/gtest.h>

#include <cstdio>

#include "api/exclusive_link.h"
#include "api/export_jobs.h"
#include "callbacks.h"
#include "sim_support.h"

namespace velko::test {
namespace {

enum MatrixJob { Upload, Download, Delete, Zero, JobCount };
const char* const kJobNames[] = {"upload", "download", "delete", "zero"};
// The frame each job's fault is aimed at: the first command that carries the job.
const char* const kTarget[] = {"W0;1;A;1;100;0;", "I0;1;", "C0;1;", "B;"};

struct CellExpected {
    int32_t rc;
    bool endBytes;
};
constexpr CellExpected OK{VELKO_OK, true};

struct Fault {
    const char* name;
    FrameFault fault;
    const char* replyText;  // the device's reply to the target frame, when not its own
    int attempts;           // how often the target frame goes out
    CellExpected job[JobCount];
};

FrameFault late(int64_t ms) {
    FrameFault f;
    f.delayMs = ms;
    return f;
}

std::vector<Fault> faults() {
    FrameFault naks, never, crc, noise, cut, longText, silent, drop;
    naks.naks = 3;
    never.neverAck = true;
    crc.badCrc = true;
    noise.noise = {0xFF, 0x06, 'n', 'o', 'i', 's', 'e', 0x0D};
    cut.cutReply = true;
    longText.longReply = true;
    silent.silentAfter = true;
    drop.dropLine = true;
    const CellExpected send{VELKO_ERR_SEND, false}, read{VELKO_ERR_READ, false},
        format{VELKO_ERR_FORMAT, false}, badCrc{VELKO_ERR_CRC, false};
    // A refused article still ends the session; the other jobs return at once.
    const CellExpected refused{VELKO_ERR_READ, true};
    return {
        {"3 x 0x15 before 0x06", naks, nullptr, 4, {OK, OK, OK, OK}},
        {"never acknowledged", never, nullptr, MAX_FRAME_REPEAT, {send, send, send, send}},
        {"reply with a bad CRC", crc, nullptr, 1, {badCrc, badCrc, badCrc, badCrc}},
        {"noise before the reply", noise, nullptr, 1, {OK, OK, OK, OK}},
        {"reply stops mid-frame", cut, nullptr, 1, {read, read, read, read}},
        {"reply of 257 text bytes", longText, nullptr, 1, {format, format, format, format}},
        {"reply after 19 s", late(19000), nullptr, 1, {OK, OK, OK, OK}},
        {"reply after 21 s", late(21000), nullptr, 1, {read, read, read, OK}},
        {"reply after 29 s", late(29000), nullptr, 1, {read, read, read, OK}},
        {"reply after 31 s", late(31000), nullptr, 1, {read, read, read, read}},
        {"reply E", {}, "E", 1, {refused, read, read, OK}},
        {"reply of any text", {}, "X", 1, {refused, format, read, OK}},
        {"silent for the rest", silent, nullptr, 1, {read, read, read, read}},
        // The line drops as the frame arrives: no acknowledgement, and no second attempt.
        {"line dropped", drop, nullptr, 1, {send, send, send, send}},
    };
}

size_t occurrences(const Bytes& haystack, const Bytes& needle) {
    size_t n = 0;
    for (auto it = haystack.begin();
         (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end();
         ++it)
        ++n;
    return n;
}

TEST(FaultMatrix, EveryJobUnderEveryFaultEndsAsSpecified) {
    int cells = 0, asSpecified = 0;
    for (const Fault& f : faults()) {
        for (int job = 0; job < JobCount; ++job) {
            SCOPED_TRACE(std::string(kJobNames[job]) + " / " + f.name);
            DeviceModel::Options options;
            options.zeroDelayMs = 0;
            options.faults[kTarget[job]] = f.fault;
            if (f.replyText) options.replies[kTarget[job]] = f.replyText;
            SimLine line;
            DeviceOnLine device(line, options);
            device.device.put({"1", "A", 1, 100, 0, 0, 0});
            device.device.put({"2", "B", 1, 200, 0, 0, 0});
            VELKOComm link(line);
            ExclusiveLink gate(link);
            Supply supply;
            supply.articles = {article("1", "A", 100), article("2", "B", 200)};
            Consume consume;

            int32_t rc = -1;
            size_t calls = 0, full = 0;
            switch (job) {
                case Upload:
                    rc = gate.run([](VELKOComm& l) {
                        return exportedSend(l, 1, 9600, 0, 1, Supply::supplier, 7);
                    });
                    calls = supply.log.supplierCalls.size();
                    full = 3;
                    break;
                case Download:
                    rc = gate.run([](VELKOComm& l) {
                        return exportedReceive(l, 1, 9600, 1, Consume::consumer, 7);
                    });
                    calls = consume.log.consumerCalls.size();
                    full = 2;
                    break;
                case Delete:
                    rc = gate.run([](VELKOComm& l) {
                        return exportedDelete(l, 1, 9600, 1, Supply::supplier, 7);
                    });
                    calls = supply.log.supplierCalls.size();
                    full = 3;
                    break;
                case Zero:
                    rc = gate.run([](VELKOComm& l) { return exportedZero(l, 1, 9600, 1); });
                    break;
            }
            const CellExpected& want = f.job[job];
            const Bytes& w = line.written();
            const bool endBytes = w.size() >= 2 && w[w.size() - 2] == 0x13 && w.back() == 0x13;
            const size_t attempts = occurrences(w, encodeFrame(kTarget[job]));
            // The job's callbacks run to the end exactly when it succeeds; a failure at the
            // target frame leaves the first article supplied and nothing consumed.
            const size_t wantCalls = job == Zero           ? 0
                                     : want.rc == VELKO_OK ? full
                                     : job == Download     ? 0
                                                           : 1;
            const bool ok = rc == want.rc && endBytes == want.endBytes &&
                            attempts == size_t(f.attempts) && calls == wantCalls &&
                            !link.isOpen() && line.closes == int(line.opened.size());
            EXPECT_EQ(rc, want.rc);
            EXPECT_EQ(endBytes, want.endBytes);
            EXPECT_EQ(attempts, size_t(f.attempts));
            EXPECT_EQ(calls, wantCalls);
            EXPECT_FALSE(link.isOpen());
            EXPECT_EQ(line.closes, int(line.opened.size()));
            ++cells;
            asSpecified += ok;
        }
    }
    std::printf("fault matrix: %d cells, %d ended as specified\n", cells, asSpecified);
}

}  // namespace
}  // namespace velko::test
