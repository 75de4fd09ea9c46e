// The extended C API as a host program calls it: a handle per line, two lines at once from two
// threads, options, counts, progress, a trace file, network lines and the result messages.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "cli/article_file.h"
#include "cli/validate.h"
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

std::vector<ArticleRecord> sampleArticles() {
    std::vector<cli::Fault> faults;
    std::vector<ArticleRecord> records;
    cli::loadArticleFile(VELKO_SAMPLES "/articles.csv", cli::RowUse::Upload, *cli::makeTextCodec(),
                         records, faults);
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
    EXPECT_STREQ(VELKOResultMessage(VELKO_ERR_OPEN),
                 "VELKO_ERR_OPEN: the serial port could not be opened or set up; check the path, "
                 "that no other program holds the port, and that the baud rate is one the port "
                 "supports");
    EXPECT_EQ(std::string(VELKOResultMessage(-3)).rfind("VELKO_ERR_UNKNOWN", 0), 0u);
    for (VelkoLine* l : {lines[0], lines[1], nowhere}) VELKOLineClose(l);
}

}  // namespace
}  // namespace velko::test
