#include "trace/trace_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace velko::test {
namespace {

// A fresh directory for each test's files.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/velko-trace-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

long long sizeOf(const std::string& path);

// The file's text; a size instead for the sparse giants, which no failure message should hold.
std::string slurp(const std::string& path) {
    if (sizeOf(path) > 1000000) return "<" + std::to_string(sizeOf(path)) + " bytes>";
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A file of `size` bytes that takes no room on the disk.
void makeSparse(const std::string& path, long long size) {
    if (FILE* f = std::fopen(path.c_str(), "a")) std::fclose(f);
    ASSERT_EQ(truncate(path.c_str(), off_t(size)), 0);
}

long long sizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

time_t fixedTime(time_t* out) {
    // 7 December 2026, 13:05:09 UTC
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_sec = 9;
    const time_t v = timegm(&t);
    if (out) *out = v;
    return v;
}

struct UtcClock : ::testing::Test {
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

using TraceLogTest = UtcClock;

TEST_F(TraceLogTest, StampsEveryPercentTWithTheLocalDateAndTime) {
    EXPECT_EQ(TraceLog::expand("\n%t START VELKOComm::receiveArticles", fixedTime),
              "\n07.12.2026 13:05:09 START VELKOComm::receiveArticles");
    EXPECT_EQ(TraceLog::expand("%t and %t", fixedTime),
              "07.12.2026 13:05:09 and 07.12.2026 13:05:09");
    EXPECT_EQ(TraceLog::expand("no stamp %d %% %s", fixedTime), "no stamp %d %% %s");
    EXPECT_EQ(TraceLog::expand("%", fixedTime), "%");

    TempDir dir;
    TraceLog log(dir.file("t.log").c_str(), 0);
    log.setClock(fixedTime);
    EXPECT_EQ(log.print("\n%t c = %x, n = %ld, s = %s", 0xabu, 42L, "x"), 42);
    log.closeFile();
    EXPECT_EQ(slurp(dir.file("t.log")), "\n07.12.2026 13:05:09 c = ab, n = 42, s = x");
}

TEST_F(TraceLogTest, ExpandsFormatsOfAnyLengthWithoutOverrun) {
    TempDir dir;
    TraceLog log(dir.file("t.log").c_str(), 0);
    log.setClock(fixedTime);
    // Kilobytes of text, a stamp grown from two characters to nineteen 300 times, and values.
    std::string format(5000, 'f'), expected(5000, 'f');
    for (int i = 0; i < 300; ++i) {
        format += "%t|";
        expected += "07.12.2026 13:05:09|";
    }
    for (int i = 0; i < 10; ++i) {
        format += "%d,";
        expected += "7,";
    }
    const std::string value(3000, 'v');
    format += "%s";
    expected += value;
    EXPECT_EQ(log.print(format.c_str(), 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, value.c_str()),
              int(expected.size()));
    log.closeFile();
    EXPECT_EQ(slurp(dir.file("t.log")), expected);
}

TEST_F(TraceLogTest, NamesTheBackupByChangingTheExtension) {
    const char* const cases[][2] = {
        {"trace.log", "trace.lo~"},
        {"C:\\logs\\dev.txt", "C:\\logs\\dev.tx~"},
        {"trace.lg", "trace.lg~"},
        {"trace.html", "trace.ht~l"},
        {"trace", "trace.~"},
        {"logs.d/trace", "logs.d/trace.~"},
        {"/var/log/x.y/t.a", "/var/log/x.y/t.a~"},
        {"C:trace", "C:trace.~"},
    };
    for (const auto& c : cases) EXPECT_EQ(TraceLog::backupName(c[0]), c[1]) << c[0];
}

TEST_F(TraceLogTest, ChangesTheFileOnlyPastTheLimitKeepingOneBackup) {
    TempDir dir;
    const std::string name = dir.file("trace.log"), backup = dir.file("trace.lo~");
    const std::string message = "\nmessage";
    makeSparse(name, TraceLog::kMaxFileSize - (long long)message.size());
    {
        TraceLog log(name.c_str(), 0);
        EXPECT_EQ(log.print("\nmessage"), int(message.size()));
        EXPECT_EQ(sizeOf(name), TraceLog::kMaxFileSize);  // exactly at the limit: kept
        EXPECT_FALSE(exists(backup));
        EXPECT_EQ(log.print("\nover"), 5);  // one byte more... and then some
        EXPECT_FALSE(log.isOpen());
        EXPECT_EQ(sizeOf(backup), TraceLog::kMaxFileSize + 5);
        EXPECT_FALSE(exists(name));  // flag 2 clear: the next message creates it
        EXPECT_EQ(log.print("\nnext"), 5);
    }
    EXPECT_EQ(slurp(name), "\nnext");

    // The next change replaces the backup; with flag 2 the new file starts with its line.
    makeSparse(name, TraceLog::kMaxFileSize);
    TraceLog log(name.c_str(), TraceLog::NEW_FILE_LINE);
    log.setClock(fixedTime);
    EXPECT_EQ(log.print("\nlast"), 5);
    EXPECT_EQ(sizeOf(backup), TraceLog::kMaxFileSize + 5);
    EXPECT_TRUE(log.isOpen());
    log.closeFile();
    EXPECT_EQ(slurp(name), "07.12.2026 13:05:09: Utworzenie pliku logu: " + name + "\n\n");
}

TEST_F(TraceLogTest, FlagsCloseAfterEachMessageAndWriteTheNewFileLine) {
    const struct {
        uint8_t flags;
        bool openAfter;
        bool newFileLine;
    } cases[] = {{0, true, false}, {1, false, false},   {2, true, true},
                 {3, false, true}, {0xFC, true, false}, {0xFD, false, false}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::string name = dir.file("t");
        TraceLog log(name.c_str(), c.flags);
        log.setClock(fixedTime);
        EXPECT_EQ(log.print("\na"), 2);
        EXPECT_EQ(log.isOpen(), c.openAfter) << int(c.flags);
        EXPECT_EQ(log.print("\nb"), 2);
        EXPECT_EQ(slurp(name), "\na\nb") << int(c.flags);  // appended across closings
        makeSparse(name, TraceLog::kMaxFileSize);
        EXPECT_EQ(log.print("\nc"), 2);
        log.closeFile();
        EXPECT_EQ(slurp(name), c.newFileLine
                                   ? "07.12.2026 13:05:09: Utworzenie pliku logu: " + name + "\n\n"
                                   : "")
            << int(c.flags);
        EXPECT_EQ(sizeOf(dir.file("t.~")), TraceLog::kMaxFileSize + 2);
    }
}

TEST_F(TraceLogTest, AFileThatCannotBeWrittenGivesMinusOneAndIsTriedAgain) {
    TempDir dir;
    TraceLog none("", 0);
    EXPECT_EQ(none.print("\nx"), -1);
    TraceLog tooLong(std::string(129, 'a').c_str(), 0);
    EXPECT_EQ(tooLong.print("\nx"), -1);

    const std::string name = dir.file("busy");
    ASSERT_EQ(mkdir(name.c_str(), 0700), 0);  // a directory where the file should be
    TraceLog log(name.c_str(), 0);
    EXPECT_EQ(log.print("\nlost"), -1);
    ASSERT_EQ(rmdir(name.c_str()), 0);
    EXPECT_EQ(log.print("\nkept"), 5);
    log.closeFile();
    EXPECT_EQ(slurp(name), "\nkept");

    // A change of file that cannot rename: the message stays, the result is -1, and the
    // change is tried again with the next message.
    makeSparse(name, TraceLog::kMaxFileSize);
    ASSERT_EQ(mkdir(dir.file("busy.~").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("busy.~/inside").c_str(), 0700), 0);  // cannot be removed
    EXPECT_EQ(log.print("\nx"), -1);
    EXPECT_EQ(sizeOf(name), TraceLog::kMaxFileSize + 2);
    std::filesystem::remove_all(dir.file("busy.~"));
    EXPECT_EQ(log.print("\ny"), 2);
    EXPECT_EQ(sizeOf(dir.file("busy.~")), TraceLog::kMaxFileSize + 4);
}

TEST_F(TraceLogTest, ThreadsSharingASinkNeverInterleaveWithinAMessage) {
    TempDir dir;
    const std::string name = dir.file("shared.log");
    TraceLog log(name.c_str(), 1);  // open and close around every message, the slow way
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            const std::string body(300, char('a' + t));
            for (int i = 0; i < 100; ++i) log.print("\n%d:%s", t, body.c_str());
        });
    }
    for (auto& t : threads) t.join();
    std::istringstream lines(slurp(name));
    std::string line;
    std::getline(lines, line);  // the empty text before the first line break
    int count = 0;
    const std::regex whole("([0-3]):(a{300}|b{300}|c{300}|d{300})");
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 40);
        EXPECT_EQ(m[2].str()[0], char('a' + (m[1].str()[0] - '0')));
        ++count;
    }
    EXPECT_EQ(count, 400);
}

}  // namespace
}  // namespace velko::test
