// The extended C API as a host program calls it: a handle per line, two lines at once from two
// threads, options, counts, progress, a trace file, network lines and the result messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "files/article_file.h"
#include "files/validate.h"
#include "sim_process.h"
#include "velko/velko.h"

namespace velko::test {
namespace {

struct Host {
    std::vector<ArticleRecord> articles;
    std::vector<ArticleRecord> received;
    std::vector<int32_t> progress;

    static int32_t VELKO_CALL supply(void* self, int32_t index, ArticleRecord* record) {
        auto* h = static_cast<Host*>(self);
        if (index < 0 || size_t(index) >= h->articles.size()) return 0;
        *record = h->articles[size_t(index)];
        return 1;
    }
    static int32_t VELKO_CALL consume(void* self, int32_t, const ArticleRecord* record) {
        static_cast<Host*>(self)->received.push_back(*record);
        return 1;
    }
    static void VELKO_CALL advance(void* self, int32_t done) {
        static_cast<Host*>(self)->progress.push_back(done);
    }
};

std::string failureOf(VelkoLine* line, int32_t* rc = nullptr);

std::vector<ArticleRecord> sampleArticles() {
    std::vector<files::Fault> faults;
    std::vector<ArticleRecord> records;
    files::loadArticleFile(VELKO_SAMPLES "/articles.csv", files::RowUse::Upload,
                           *files::makeTextCodec(), records, faults);
    return records;
}

TEST(ExtendedApi, RunsTwoLinesAtOnceWithCountsProgressAndATrace) {
    SimProcess first({"--zero-delay", "0", "--refuse", "5900001000024"});
    SimProcess second({"--tcp", "0", "--zero-delay", "0"});
    const std::string trace = "/tmp/velko-extended-" + std::to_string(getpid()) + ".log";
    VelkoLine* lines[2] = {VELKOLineOpen(first.path().c_str()),
                           VELKOLineOpen(second.path().c_str())};
    ASSERT_TRUE(lines[0] && lines[1]);
    ASSERT_EQ(VELKOLineSetTrace(lines[0], trace.c_str()), VELKO_OK);

    Host hosts[2];
    VelkoCounts counts[2];
    int32_t results[2];
    for (Host& h : hosts) h.articles = sampleArticles();
    std::thread other([&] {
        results[1] = VELKOLineSendArticles(lines[1], 9600, 1, 0, Host::supply, &hosts[1],
                                           Host::advance, &counts[1]);
    });
    results[0] = VELKOLineSendArticles(lines[0], 9600, 1, VELKO_CONTINUE_ON_REFUSAL, Host::supply,
                                       &hosts[0], Host::advance, &counts[0]);
    other.join();
    EXPECT_EQ(results[0], VELKO_OK);
    EXPECT_EQ(counts[0].accepted, 21);
    EXPECT_EQ(counts[0].refused, 1);
    EXPECT_EQ(results[1], VELKO_OK);
    EXPECT_EQ(counts[1].accepted, 22);
    EXPECT_EQ(hosts[1].progress.size(), 22u);
    EXPECT_EQ(hosts[1].progress.back(), 22);

    // Both tables back, through the consumer; then a deletion and a reset.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(VELKOLineReceiveArticles(lines[i], 9600, 1, Host::consume, &hosts[i], nullptr,
                                           &counts[i]),
                  VELKO_OK);
        EXPECT_EQ(size_t(counts[i].received), hosts[i].received.size());
    }
    EXPECT_EQ(hosts[1].received.size(), 22u);
    EXPECT_STREQ(hosts[1].received[0].name, hosts[1].articles[0].name);
    hosts[1].articles.resize(2);
    EXPECT_EQ(
        VELKOLineDeleteArticles(lines[1], 9600, 1, Host::supply, &hosts[1], nullptr, &counts[1]),
        VELKO_OK);
    EXPECT_EQ(counts[1].deleted, 2);
    EXPECT_EQ(VELKOLineZeroPLUCounters(lines[1], 9600, 1), VELKO_OK);
    EXPECT_NE(readFile(trace).find("VELKOComm::sendArticles"), std::string::npos);
    unlink(trace.c_str());

    // Bad requests get their codes before anything is opened.
    EXPECT_EQ(VELKOLineZeroPLUCounters(nullptr, 9600, 1), VELKO_ERR_HANDLE);
    EXPECT_EQ(VELKOLineZeroPLUCounters(lines[0], 9600, 100), VELKO_ERR_ADDRESS);
    EXPECT_EQ(VELKOLineSendArticles(lines[0], 9600, 1, 0, nullptr, nullptr, nullptr, &counts[0]),
              VELKO_ERR_FORMAT);
    EXPECT_EQ(VELKOLineOpen(""), nullptr);
    VelkoLine* nowhere = VELKOLineOpen("tcp://127.0.0.1:1");
    EXPECT_EQ(VELKOLineZeroPLUCounters(nowhere, 9600, 1), VELKO_ERR_OPEN);
    EXPECT_EQ(failureOf(nowhere), "tcp://127.0.0.1:1: connection refused");
    EXPECT_STREQ(VELKOResultMessage(VELKO_ERR_OPEN),
                 "VELKO_ERR_OPEN: the serial port could not be opened or set up; check the path, "
                 "that no other program holds the port, and that the baud rate is one the port "
                 "supports");
    EXPECT_EQ(std::string(VELKOResultMessage(-3)).rfind("VELKO_ERR_UNKNOWN", 0), 0u);
    for (VelkoLine* l : {lines[0], lines[1], nowhere}) VELKOLineClose(l);
}

// A host whose other thread cancels the job once it has seen `at` articles (a Cancel button).
struct Canceller : Host {
    VelkoLine* line = nullptr;
    int32_t at = 0;
    void seen(int32_t done) {
        if (done == at) std::thread([&] { EXPECT_EQ(VELKOLineCancel(line), VELKO_OK); }).join();
    }
    static void VELKO_CALL advance(void* self, int32_t done) {
        static_cast<Canceller*>(self)->seen(done);
    }
    static int32_t VELKO_CALL consume(void* self, int32_t index, const ArticleRecord* record) {
        Host::consume(self, index, record);
        static_cast<Canceller*>(self)->seen(index + 1);
        return 1;
    }
};

TEST(ExtendedApi, ACancelFromAnotherThreadStopsEachJobAtItsNextArticle) {
    SimProcess sim({"--zero-delay", "0"});
    Canceller host;
    host.line = VELKOLineOpen(sim.path().c_str());
    host.articles = sampleArticles();
    VelkoCounts counts;
    // With no call running, a cancel stops nothing, then or later.
    EXPECT_EQ(VELKOLineCancel(host.line), VELKO_OK);
    host.at = 5;
    EXPECT_EQ(VELKOLineSendArticles(host.line, 9600, 1, 0, Host::supply, &host, Canceller::advance,
                                    &counts),
              VELKO_ERR_ABORT);
    EXPECT_EQ(counts.accepted, 5);
    EXPECT_NE(failureOf(host.line).find("cancelled"), std::string::npos);
    host.at = 3;
    EXPECT_EQ(
        VELKOLineReceiveArticles(host.line, 9600, 1, Canceller::consume, &host, nullptr, &counts),
        VELKO_ERR_ABORT);
    EXPECT_EQ(counts.received, 3);
    host.at = 2;
    EXPECT_EQ(VELKOLineDeleteArticles(host.line, 9600, 1, Host::supply, &host, Canceller::advance,
                                      &counts),
              VELKO_ERR_ABORT);
    EXPECT_EQ(counts.deleted, 2);
    // The device holds what was done before each stop, and the line works on.
    host.received.clear();
    EXPECT_EQ(VELKOLineReceiveArticles(host.line, 9600, 1, Host::consume, &host, nullptr, &counts),
              VELKO_OK);
    std::vector<uint64_t> held, kept;  // as numbers: the device pads codes with zeros
    for (const ArticleRecord& r : host.received) held.push_back(std::strtoull(r.code, nullptr, 10));
    for (size_t i = 2; i < 5; ++i)
        kept.push_back(std::strtoull(host.articles[i].code, nullptr, 10));
    std::sort(held.begin(), held.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(held, kept);
    EXPECT_EQ(VELKOLineCancel(nullptr), VELKO_ERR_HANDLE);
    VELKOLineClose(host.line);
    EXPECT_EQ(VELKOLineCancel(host.line), VELKO_ERR_HANDLE);
}

// A host that misuses a handle from its callbacks and from a second thread.
struct Meddler : Host {
    VelkoLine* line = nullptr;
    std::vector<int32_t> seen;  // what the calls made during the job returned
    bool closeDuringJob = false;

    static int32_t VELKO_CALL supplyAndMeddle(void* self, int32_t index, ArticleRecord* record) {
        auto* m = static_cast<Meddler*>(self);
        if (index == 1) {
            m->seen.push_back(VELKOLineSetTrace(m->line, nullptr));
            int32_t fromThread = -1;
            std::thread([&] { fromThread = VELKOLineZeroPLUCounters(m->line, 9600, 1); }).join();
            m->seen.push_back(fromThread);
            if (m->closeDuringJob) VELKOLineClose(m->line);
        }
        return supply(self, index, record);
    }
};

std::string failureOf(VelkoLine* line, int32_t* rc) {
    char text[256];
    const int32_t result = VELKOLineFailure(line, text, sizeof text);
    if (rc) *rc = result;
    return text;
}

TEST(ExtendedApi, TurnsAwayMisuseAndArticlesTheDeviceCannotTakeWithTheReasonInWords) {
    SimProcess sim({"--zero-delay", "0"});
    const std::string trace = "/tmp/velko-meddled-" + std::to_string(getpid()) + ".log";
    Meddler host;
    host.articles = sampleArticles();
    host.articles.resize(3);
    host.line = VELKOLineOpen(sim.path().c_str());
    ASSERT_EQ(VELKOLineSetTrace(host.line, trace.c_str()), VELKO_OK);

    // During a job the handle turns every other call away and keeps its trace sink; closed
    // from the job's own callback, it lets the job end and then refuses everything.
    VelkoCounts counts;
    ASSERT_EQ(VELKOLineSendArticles(host.line, 9600, 1, 0, Meddler::supplyAndMeddle, &host, nullptr,
                                    &counts),
              VELKO_OK);
    EXPECT_EQ(host.seen, (std::vector<int32_t>{VELKO_ERR_OPEN, VELKO_ERR_OPEN}));
    EXPECT_NE(readFile(trace).find("W0;5900001000031"), std::string::npos)
        << "the trace went on after the refused VELKOLineSetTrace";
    host.closeDuringJob = true;
    host.seen.clear();
    EXPECT_EQ(VELKOLineSendArticles(host.line, 9600, 1, 0, Meddler::supplyAndMeddle, &host, nullptr,
                                    &counts),
              VELKO_OK);
    EXPECT_EQ(counts.accepted, 3);
    EXPECT_EQ(VELKOLineZeroPLUCounters(host.line, 9600, 1), VELKO_ERR_HANDLE);
    EXPECT_EQ(VELKOLineSetTrace(host.line, nullptr), VELKO_ERR_HANDLE);
    VELKOLineClose(host.line);  // a second close does nothing
    VELKOLineClose(nullptr);
    int32_t rc = 0;
    EXPECT_EQ(failureOf(host.line, &rc), "the handle is not open");
    EXPECT_EQ(rc, VELKO_ERR_HANDLE);
    std::remove(trace.c_str());

    // Articles that would reach the device other than meant are refused before they are
    // sent, counted, and named; the list goes on with VELKO_CONTINUE_ON_REFUSAL.
    auto article = [](const char* code, const char* name) {
        ArticleRecord r{};
        std::memcpy(r.code, code, std::min(std::strlen(code), sizeof r.code));
        std::memcpy(r.name, name, std::min(std::strlen(name), sizeof r.name));
        return r;
    };
    ArticleRecord tooHighGroup = article("77", "GROUP");
    tooHighGroup.group = -2;
    ArticleRecord flagTwo = article("78", "FLAG");
    flagTwo.flag = 2;
    const struct {
        ArticleRecord record;
        const char* reason;
    } bad[] = {
        {article("71", "KAWA (250G)"), "name 'KAWA (250G)': '(' would come back as 'Ę'"},
        {article("72", "NINETEEN CHARACTERS"), "has no terminating NUL"},
        {article("73", "CAF\xC9"), "byte 0xC9 is no character the device shows"},
        {article("74", ""), "name is empty"},
        {article("0000", "ZERO"), "code '0000' is all zeros"},
        {article("12a", "LETTER"), "code '12a' is not a code of 1 to 14 digits"},
        {tooHighGroup, "group -1 is not from 0 to 128"},
        {flagTwo, "flag 2 is not 0 or 1"},
        {article("00071", "KAWA 250G"), ""},  // Polish letters are fine
    };
    Host mixed;
    for (const auto& b : bad) {
        char reason[160];
        EXPECT_EQ(VELKOCheckArticle(&b.record, reason, sizeof reason),
                  *b.reason ? VELKO_ERR_FORMAT : VELKO_OK);
        EXPECT_NE(std::string(reason).find(b.reason), std::string::npos) << reason;
        mixed.articles.push_back(b.record);
    }
    mixed.articles.push_back(article("071", "SAME CODE AGAIN"));
    VelkoLine* line = VELKOLineOpen(sim.path().c_str());
    EXPECT_EQ(VELKOLineSendArticles(line, 9600, 1, 0, Host::supply, &mixed, Host::advance, &counts),
              VELKO_ERR_FORMAT);
    EXPECT_EQ(counts.refused, 1);
    EXPECT_EQ(failureOf(line, &rc),
              "article 0: name 'KAWA (250G)': '(' would come back as 'Ę': "
              "the device uses it for that letter; it was not sent");
    EXPECT_EQ(rc, VELKO_ERR_FORMAT);
    EXPECT_EQ(VELKOLineSendArticles(line, 9600, 1, VELKO_CONTINUE_ON_REFUSAL, Host::supply, &mixed,
                                    Host::advance, &counts),
              VELKO_OK);
    EXPECT_EQ(counts.accepted, 1);
    EXPECT_EQ(counts.refused, 9);
    EXPECT_EQ(mixed.progress.back(), 10);
    EXPECT_EQ(failureOf(line), "");

    // What the device stores is exactly the one good article.
    Host table;
    ASSERT_EQ(VELKOLineReceiveArticles(line, 9600, 1, Host::consume, &table, nullptr, nullptr),
              VELKO_OK);
    ASSERT_EQ(table.received.size(), 4u);  // three samples and 71
    EXPECT_TRUE(std::any_of(table.received.begin(), table.received.end(), [](const auto& r) {
        return std::strcmp(r.code, "00000000000071") == 0;
    }));

    // The device's own refusal and the line's own failure are told apart in the detail.
    Host deleting;
    deleting.articles = {article("99999", "")};
    EXPECT_EQ(VELKOLineDeleteArticles(line, 9600, 1, Host::supply, &deleting, nullptr, &counts),
              VELKO_ERR_READ);
    EXPECT_EQ(failureOf(line), "the device refused to delete code 99999 (answered 'E')");
    // Asked to go on, the deletion counts the device's refusal and a code that is no code, and
    // deletes the rest.
    deleting.articles = {article("99999", ""), article("12a", ""), article("71", "")};
    deleting.progress.clear();
    EXPECT_EQ(VELKOLineDeleteArticlesEx(line, 9600, 1, VELKO_CONTINUE_ON_REFUSAL, Host::supply,
                                        &deleting, Host::advance, &counts),
              VELKO_OK);
    EXPECT_EQ(counts.deleted, 1);
    EXPECT_EQ(counts.refused, 2);
    EXPECT_EQ(deleting.progress, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(VELKOLineZeroPLUCounters(line, 9600, 100), VELKO_ERR_ADDRESS);
    EXPECT_EQ(failureOf(line), "device number 100 is above 99");
    EXPECT_EQ(VELKOLineSetTrace(line, "/nonexistent-dir/trace.log"), VELKO_ERR_OPEN);
    EXPECT_NE(failureOf(line).find("cannot be opened"), std::string::npos);
    VELKOLineClose(line);
}

}  // namespace
}  // namespace velko::test
