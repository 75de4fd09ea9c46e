// The trace of whole jobs, line by line against the lines the link and device steps are to
// write, with time stamps and clock readings masked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "callbacks.h"
#include "link/crc16.h"
#include "sim_support.h"

namespace velko::test {
namespace {

// What the trace should hold, built from the lines each step writes.
class Expected {
  public:
    std::string text;

    void line(const std::string& s) { text += "\nT " + s; }

    void send(const Bytes& bytes) {
        line("START VELKOComm::send");
        text += "\n\t count = " + std::to_string(bytes.size()) + ", buff = ";
        for (uint8_t b : bytes) text += hexOf(b) + ",";
        line("VELKOComm::send return VELKO_OK");
    }
    void receive(int count) {
        line("START VELKOComm::receive");
        text += "\n\t count = " + std::to_string(count);
        line("VELKOComm::receive return VELKO_OK");
    }
    void sendAck() {
        line("START VELKOComm::sendAck");
        send({0x06});
        line("VELKOComm::sendAck, return VELKO_OK");
    }
    // A frame acknowledged after `refusals` answers other than 0x06.
    void sendFrame(const std::string& s, int refusals = 0) {
        line("START VELKOComm::sendFrame");
        text += "\n\ts = ";
        for (char c : s) text += hexOfSigned(c) + " ";
        text += "\n\ts (acsii) = " + s;
        const uint16_t crc = crc16("\r", 1, crc16(s.data(), uint32_t(s.size()), 0));
        for (int i = 0; i <= refusals; ++i) {
            line("VELKOComm::sendFrame, i = " + std::to_string(i) +
                 ", for( i = 0; i < MAX_FRAME_REPEAT; i ++ )");
            send({0x0A});
            send(Bytes(s.begin(), s.end()));
            send({0x0D});
            send({uint8_t(crc >> 8), uint8_t(crc & 0xFF)});
            line("START VELKOComm::receiveAck");
            receive(1);
            if (i < refusals) {
                line("START VELKOComm::receiveAck, c = 15, return VELKO_ERR_READ");
                line("VELKOComm::sendFrame, receiveAck() != VELKO_OK");
            } else {
                line("START VELKOComm::receiveAck, return VELKO_OK");
                line("VELKOComm::sendFrame, return VELKO_OK, receiveAck() == VELKO_OK");
            }
        }
    }
    // A good frame, waiting at once on its 0x0A, acknowledged.
    void receiveFrame(const std::string& s) {
        line("START VELKOComm::receiveFrame");
        line("VELKOComm::receiveFrame, timeout = N");
        receive(1);
        line("VELKOComm::receiveFrame, c = a, receive( & c, 1 ) == VELKO_OK");
        line("VELKOComm::receiveFrame, received begin frame character");
        for (char c : s + "\r") {
            receive(1);
            line("VELKOComm::receiveFrame, c = " + hexOf(uint8_t(c)) + ", receive( & c, 1 )");
        }
        line("VELKOComm::receiveFrame, received frame (without crc)");
        receive(2);
        line("VELKOComm::receiveFrame, crc OK");
        sendAck();
        line("START VELKOComm::receiveFrame, return VELKO_OK");
    }
    void sendFF() {
        line("START VELKOComm::sendFF( 4 )");
        for (int i = 0; i < 4; ++i) send({0xFF});
        line("VELKOComm::sendFF, return VELKO_OK");
    }
    void initInLineMode() {
        line("START VELKOComm::initInLineMode");
        sendFF();
        send({0x11, 0x11, '0', '1'});
        receiveFrame("D");
    }
    void endInLineMode() {
        line("START VELKOComm::endInLineMode");
        send({0x13, 0x13});
    }

  private:
    static std::string hexOf(unsigned value) {
        char buf[12];
        std::snprintf(buf, sizeof buf, "%x", value);
        return buf;
    }
    // The frame dump shows bytes as signed values widened to 32 bits.
    static std::string hexOfSigned(char c) {
        return hexOf(unsigned(int(static_cast<signed char>(c))));
    }
};

// The trace file of one job, masked: "T" for each time stamp, "N" for clock readings.
std::string masked(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text =
        std::regex_replace(s.str(), std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)"), "T");
    return std::regex_replace(text, std::regex(R"(\b((timeout|t|dt) = )-?\d+)"), "$1N");
}

// Splits at line breaks so that a difference shows as one line.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

struct Job {
    const char* name;
    DeviceModel::Options options;
    const char* table;
    int32_t (*run)(VELKOComm& link);
    int32_t rc;
    void (*expect)(Expected& e);
};

int32_t upload(VELKOComm& link) {
    Supply supply;
    supply.articles = {article("1", "a", 100), article("2", "b", 200), article("3", "c", 300)};
    ReplyString session;
    int32_t accepted = 0, refused = 0;
    return link.sendArticles(1, 9600, 0, 0, 0, 1, session, Supply::supplier, nullptr, 0, accepted,
                             refused);
}
int32_t download(VELKOComm& link) {
    Consume consume;
    ReplyString session;
    int32_t received = 0;
    return link.receiveArticles(1, 9600, 1, session, Consume::consumer, 0, received);
}
int32_t deletion(VELKOComm& link) {
    Supply supply;
    supply.articles = {article("7", "", 0)};
    ReplyString session;
    int32_t deleted = 0;
    return link.deleteArticles(1, 9600, 1, session, Supply::supplier, 0, deleted);
}

std::vector<Job> jobs() {
    DeviceModel::Options quick;
    quick.zeroDelayMs = 0;
    DeviceModel::Options refusing = quick;
    refusing.refusedCodes = {"2"};
    DeviceModel::Options hesitant = quick;
    hesitant.unacknowledged = 2;
    return {
        {"counter reset", quick, "", zero, VELKO_OK,
         [](Expected& e) {
             e.line("START VELKOComm::zeroCounters");
             e.initInLineMode();
             e.sendFrame("B;");
             e.receiveFrame("D");
             e.endInLineMode();
         }},
        {"upload with a refusal", refusing, "", upload, VELKO_ERR_READ,
         [](Expected& e) {
             e.line("START VELKOComm::sendArticles");
             e.initInLineMode();
             e.sendFrame("W38;1;1;");
             e.receiveFrame("D");
             e.sendFrame("W38;2;1;");
             e.receiveFrame("D");
             e.sendFrame("W0;1;A;1;100;0;");
             e.receiveFrame("D");
             e.sendFrame("W0;2;B;1;200;0;");
             e.receiveFrame("E");
             e.endInLineMode();
         }},
        {"download", quick, "0;5;\x29\x24;1;2.50;1;0.500;1.25;\n", download, VELKO_OK,
         [](Expected& e) {
             e.line("START VELKOComm::receiveArticles");
             e.initInLineMode();
             e.sendFF();
             e.sendFrame("I0;1;");
             e.receiveFrame("0;5;)$;1;2.50;1;0.500;1.25;");
             e.sendFrame("G");
             e.receiveFrame("D");
             e.endInLineMode();
         }},
        {"deletion", quick, "0;7;X;1;1.00;0;0.000;0.00;\n", deletion, VELKO_OK,
         [](Expected& e) {
             e.line("START VELKOComm::deleteArticles");
             e.initInLineMode();
             e.sendFrame("C0;7;");
             e.receiveFrame("D");
             e.endInLineMode();
         }},
        {"a frame repeated after negative answers", hesitant, "", zero, VELKO_OK,
         [](Expected& e) {
             e.line("START VELKOComm::zeroCounters");
             e.initInLineMode();
             e.sendFrame("B;", 2);
             e.receiveFrame("D");
             e.endInLineMode();
         }},
    };
}

struct Outcome {
    int32_t rc;
    Bytes wire;
};

Outcome runJob(const Job& job, TraceLog* sink) {
    SimLine line;
    DeviceOnLine device(line, job.options);
    device.device.loadTable(job.table);
    VELKOComm link(line);
    link.setTraceSink(sink);
    const int32_t rc = job.run(link);
    return {rc, line.written()};
}

struct TraceFile {
    TraceFile() {
        char tmpl[] = "/tmp/velko-job-trace-XXXXXX";
        const int fd = mkstemp(tmpl);
        close(fd);
        path = tmpl;
    }
    ~TraceFile() { unlink(path.c_str()); }
    std::string path;
};

TEST(JobTrace, EveryStepWritesItsLines) {
    for (const Job& job : jobs()) {
        TraceFile file;
        {
            TraceLog sink(file.path.c_str(), 0);
            EXPECT_EQ(runJob(job, &sink).rc, job.rc) << job.name;
        }
        Expected expected;
        job.expect(expected);
        EXPECT_EQ(lines(masked(file.path)), lines(expected.text)) << job.name;
    }
}

TEST(JobTrace, ASinkChangesNothingOnTheLine) {
    TraceFile file;
    TraceLog sink(file.path.c_str(), TraceLog::CLOSE_AFTER_EACH);
    TraceLog broken("/proc/no/such/place", 0);  // every message fails
    for (const Job& job : jobs()) {
        const Outcome without = runJob(job, nullptr);
        const Outcome with = runJob(job, &sink);
        const Outcome failing = runJob(job, &broken);
        EXPECT_EQ(with.rc, without.rc) << job.name;
        EXPECT_EQ(failing.rc, without.rc) << job.name;
        EXPECT_EQ(hexOf(with.wire), hexOf(without.wire)) << job.name;
        EXPECT_EQ(hexOf(failing.wire), hexOf(without.wire)) << job.name;
    }
}

TEST(JobTrace, FailuresNameTheConditionThatFailed) {
    TraceFile file;
    {
        TraceLog sink(file.path.c_str(), 0);
        SimLine line;
        VELKOComm link(line);
        link.setTraceSink(&sink);
        link.open(1, 9600);
        link.setReadTimeouts(200, 30);
        line.deliver(hex("41 0A 44 0D 00 00"));
        ReplyString reply;
        EXPECT_EQ(link.receiveFrame(reply, true), VELKO_ERR_CRC);
        EXPECT_EQ(link.sendFrame("\x80"), VELKO_ERR_FORMAT);
        EXPECT_EQ(link.sendFrame(std::string(257, 'x').c_str()), VELKO_ERR_FORMAT);
        line.deliver(Bytes{0x41});
        uint8_t buf[2];
        EXPECT_EQ(link.receive(buf, 2), VELKO_ERR_READ);
        line.shortWriteNumber = 0;
        EXPECT_EQ(link.send("AB", 2), VELKO_ERR_SEND);
        link.close();
        EXPECT_EQ(link.send("A", 1), VELKO_ERR_SEND);
    }
    Expected e;
    e.line("START VELKOComm::receiveFrame");
    e.line("VELKOComm::receiveFrame, timeout = N");
    e.receive(1);
    e.line("VELKOComm::receiveFrame, c = 41, receive( & c, 1 ) == VELKO_OK");
    e.line("VELKOComm::receiveFrame, t = N");
    e.line("VELKOComm::receiveFrame, dt = N");
    e.receive(1);
    e.line("VELKOComm::receiveFrame, c = a, receive( & c, 1 ) == VELKO_OK");
    e.line("VELKOComm::receiveFrame, received begin frame character");
    e.receive(1);
    e.line("VELKOComm::receiveFrame, c = 44, receive( & c, 1 )");
    e.receive(1);
    e.line("VELKOComm::receiveFrame, c = d, receive( & c, 1 )");
    e.line("VELKOComm::receiveFrame, received frame (without crc)");
    e.receive(2);
    e.line(
        "VELKOComm::receiveFrame, crcBuf = 0 0, crc = f809, return VELKO_ERR_CRC, "
        "crcBuf[ 0 ] != (crc >> 8) || crcBuf[ 1 ] != (crc & 0x0ff)");
    e.line("START VELKOComm::sendFrame");
    e.text += "\n\ts = ffffff80 \n\ts (acsii) = \x80";
    e.line(
        "VELKOComm::sendFrame, i = 0, return VELKO_ERR_FORMAT,  s[ i ] < 0x20 || "
        "(unsigned char)s[ i ] > 0x7f");
    e.line("START VELKOComm::sendFrame");
    e.text += "\n\ts = ";
    for (int i = 0; i < 257; ++i) e.text += "78 ";
    e.text += "\n\ts (acsii) = " + std::string(257, 'x');
    e.line("VELKOComm::sendFrame, return VELKO_ERR_FORMAT, strlen( s ) > MAX_FRAME_DATA_LEN");
    e.line("START VELKOComm::receive");
    e.text += "\n\t count = 2";
    e.line(
        "VELKOComm::receive, readBytes = 1, return VELKO_ERR_READ, readBytes != (unsigned "
        "long)len");
    e.line("START VELKOComm::send");
    e.text += "\n\t count = 2, buff = 41,42,";
    e.line(
        "VELKOComm::send, writeBytes = 1, return VELKO_ERR_SEND, writeBytes != (unsigned "
        "long)len");
    e.line("START VELKOComm::send");
    e.text += "\n\t count = 1, buff = 41,";
    e.line("VELKOComm::send, return VELKO_ERR_SEND, ! write( buf, len, & writeBytes )");
    EXPECT_EQ(lines(masked(file.path)), lines(e.text));
}

}  // namespace
}  // namespace velko::test
