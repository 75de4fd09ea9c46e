// The velko tool and the velko-sim program driven as people drive them: whole commands over
// pseudo-terminals in real time, checked by what they print, write and leave on the device.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "sim_process.h"

namespace velko::test {
namespace {

const std::string kArticles = VELKO_SAMPLES "/articles.csv";

Outcome velko(const std::vector<std::string>& args) {
    return runProgram(VELKO_TOOL, args);
}

class Dir {
  public:
    Dir() {
        char name[] = "/tmp/velko-cli-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~Dir() { (void)!std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The table as a download writes it, on the line `line`.
std::string table(const std::string& line, const Dir& dir) {
    const Outcome run = velko({"--line", line, "download", "-o", dir / "table.csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    return readFile(dir / "table.csv");
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

TEST(Tool, PolishNamesMakeTheRoundTripByteForByteThroughCsvAndJson) {
    SimProcess sim({"--zero-delay", "0"});
    Dir dir;
    Outcome run = velko({"--line", sim.path(), "upload", kArticles});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(table(sim.path(), dir), readFile(kArticles));

    // Through JSON and back: deleting everything, uploading the JSON, the same table again.
    ASSERT_EQ(velko({"--line", sim.path(), "download", "-o", dir / "t.json"}).status, 0);
    run = velko({"--line", sim.path(), "delete", "--from", dir / "t.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(table(sim.path(), dir), "code,name,price,flag,group,quantity,value\r\n");
    ASSERT_EQ(velko({"--line", sim.path(), "upload", dir / "t.json"}).status, 0);
    EXPECT_EQ(table(sim.path(), dir), readFile(kArticles));
}

// The log of a simulator's session, each line without its time of day.
std::string framesOf(const std::string& log) {
    std::string frames;
    for (size_t at = 0; at < log.size();) {
        const size_t end = log.find('\n', at);
        const size_t space = log.find(' ', at);
        frames += log.substr(space + 1, end - space);
        at = end + 1;
    }
    return frames;
}

TEST(Tool, UploadsAPolishExcelListAsItsPlainCsvAndDownloadsForExcel) {
    Dir dir;
    writeFile(dir / "plain.csv",
              "code,name,price,group\n"
              "5900001000017,CHLEB ŻYTNI,4.50,1\n"
              "5900001000031,MASŁO EKSTRA 200G,7.99,2\n"
              "5900001000116,\"WODA ŹRÓDLANA 1,5L\",1.89,4\n"
              "5900001000192,GĘŚ WĘDZONA,45,6\n");
    // As Polish Excel saves "CSV (rozdzielany średnikami)": Windows-1250, CRLF, decimal commas,
    // a column of its own and the empty rows left below and within the list.
    writeFile(dir / "cennik.csv",
              "Kod;Nazwa;Cena brutto;VAT;Grupa\r\n"
              "5900001000017;CHLEB \xAFYTNI;4,50;5%;1\r\n"
              ";;;;\r\n"
              "5900001000031;MAS\xA3O EKSTRA 200G;7,99;5%;2\r\n"
              "5900001000116;WODA \x8FR\xD3"
              "DLANA 1,5L;1,89;23%;4\r\n"
              "5900001000192;G\xCA\x8C W\xCA"
              "DZONA;45,00;5%;6\r\n"
              ";;;;\r\n;;;;\r\n");
    std::string logs[2];
    for (const char* file : {"plain.csv", "cennik.csv"}) {
        const std::string log = dir / (std::string(file) + ".log");
        SimProcess sim({"--log"}, log);
        const Outcome run = velko({"--line", sim.path(), "upload", dir / file});
        EXPECT_EQ(run.status, 0) << file << "\n" << run.err;
        EXPECT_EQ(run.err.find("ignored columns: VAT") != std::string::npos,
                  file == std::string("cennik.csv"))
            << run.err;
        ASSERT_TRUE(sim.stop());
        logs[file == std::string("cennik.csv")] = framesOf(readFile(log));
    }
    EXPECT_NE(logs[1].find("frame \"W0;5900001000116;WODA 'R]DLANA 1,5L;4;189;0;\""),
              std::string::npos)
        << logs[1];
    EXPECT_EQ(logs[1], logs[0]);

    SimProcess sim({"--seed", dir / "plain.csv"});
    sim.say("sell 5900001000017 2.5");
    const Outcome excel = velko({"--line", sim.path(), "download", "--excel"});
    EXPECT_EQ(excel.status, 0) << excel.err;
    EXPECT_EQ(excel.out,
              "\xEF\xBB\xBF"
              "code;name;price;flag;group;quantity;value\r\n"
              "5900001000017;CHLEB ŻYTNI;4,50;0;1;2,500;11,25\r\n"
              "5900001000031;MASŁO EKSTRA 200G;7,99;0;2;0,000;0,00\r\n"
              "5900001000116;WODA ŹRÓDLANA 1,5L;1,89;0;4;0,000;0,00\r\n"
              "5900001000192;GĘŚ WĘDZONA;45,00;0;6;0,000;0,00\r\n");
}

TEST(Tool, EveryFaultOfAnArticleFileIsReportedAndNothingReachesTheLine) {
    // Each row and what follows "bad.csv: row N" in its fault line.
    const struct {
        std::string row, fault;
    } cases[] = {
        {"0,ZERO,1.00,0,1", ", column code: '0' is all zeros"},
        {"000000000000001,LONG,1.00,0,1", ", column code: '000000000000001' is not a code"},
        {"12A,LETTER,1.00,0,1", ", column code: '12A' is not a code of 1 to 14 digits"},
        {"7,NAZWA DŁUŻSZA NIŻ 18,1.00,0,1", ", column name: 'NAZWA DŁUŻSZA NIŻ 18' has 20"},
        {"8,CAFÉ,1.00,0,1", ", column name: character U+00C9 'É' cannot be shown"},
        {"9,STRAßE,1.00,0,1", ", column name: character U+00DF 'ß' cannot be shown"},
        {"10,PIWO (0.5L,1.00,0,1", ", column name: '(' would come back as 'Ę'"},
        {"11,50$,1.00,0,1", ", column name: '$' would come back as 'Ą'"},
        {"12,A_B,1.00,0,1", ", column name: '_' would come back as 'Ż'"},
        {"13,A;B,1.00,0,1", ", column name: holds ';'"},
        {"14;1,X,1.00,0,1", ", column code: holds ';'"},
        {"15,X,1.005,0,1", ", column price: '1.005' is not an amount with at most 2 decimals"},
        {"16,X,12,50,0,1", ": 6 fields where the header has 5"},
        {"17,X,21474836.48,0,1", ", column price: '21474836.48' is not an amount"},
        {"18,X,,0,1", ", column price: '' is not an amount"},
        {"19,X,1.00,2,1", ", column flag: '2' is not a whole number from 0 to 1"},
        {"20,X,1.00,0,129", ", column group: '129' is not a whole number from 0 to 128"},
        {"21,X,1.00,0,-1", ", column group: '-1' is not a whole number"},
        {"22,\"X\"\"Y\",1.00,x,1", ", column flag: 'x' is not a whole number"},
        {"23,,1.00,0,1", ", column name: is empty"},
        {"0001,SAME AS GOOD,1.00,0,1", ", column code: the same code as row 2"},
    };
    Dir dir;
    std::string csv =
        "\xEF\xBB\xBF"
        "code,name,price,flag,group\n1,GOOD,1.00,0,1\n";
    for (const auto& c : cases) csv += c.row + "\n";
    csv += "24,DEPOSIT,-0.50,0,1\n";  // allowed, with a warning
    writeFile(dir / "bad.csv", csv);

    // A terminal of the test's own stands for the device: anything sent would wait in it.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string line = ttyname(slave);
    const Outcome run = velko({"--line", line, "upload", dir / "bad.csv"});
    EXPECT_EQ(run.status, 3);
    int row = 3;
    for (const auto& c : cases) {
        const std::string fault = "bad.csv: row " + std::to_string(row++) + c.fault;
        EXPECT_NE(run.err.find(fault), std::string::npos) << fault << "\n" << run.err;
    }
    EXPECT_NE(
        run.err.find("bad.csv: row " + std::to_string(row) + ", column price: -0.50 is negative"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(count(run.err, "\n"), std::size(cases) + 2)
        << "one line per fault, the warning and a total";
    EXPECT_EQ(run.err.find("row 2,"), std::string::npos) << "the good row is not a fault";
    EXPECT_NE(run.err.find("nothing was sent"), std::string::npos);

    // The same promise for JSON files, deletion codes and unknown columns.
    writeFile(dir / "bad.json", R"([{"code": "5", "name": "OK", "price": "1.5", "colour": "red"},
                                    {"code": 6, "name": "X", "price": {"a": 1}}, 7])");
    const Outcome json = velko({"--line", line, "upload", dir / "bad.json"});
    EXPECT_EQ(json.status, 3);
    EXPECT_NE(json.err.find("bad.json: row 1, column colour: unknown key"), std::string::npos);
    EXPECT_NE(json.err.find("bad.json: row 2, column price: not a string or a number"),
              std::string::npos);
    EXPECT_NE(json.err.find("bad.json: row 3: not a JSON object"), std::string::npos);
    EXPECT_EQ(velko({"--line", line, "delete", "12", "0", "x"}).status, 3);
    writeFile(dir / "columns.csv", "code,name,prize\n1,X,2\n");
    EXPECT_EQ(velko({"--line", line, "upload", dir / "columns.csv"}).status, 3);
    writeFile(dir / "empty.csv", "code,name,price\n");
    const Outcome empty = velko({"--line", line, "upload", dir / "empty.csv"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_NE(empty.err.find("has no articles; nothing was sent"), std::string::npos);
    EXPECT_EQ(velko({"--line", line, "--baud", "0", "zero-counters"}).status, 2);
    EXPECT_EQ(velko({"--line", line, "--trace", dir / "no/such/dir.log", "zero-counters"}).status,
              7);

    pollfd p{master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "bytes reached the line";
    close(master);
    close(slave);
}

TEST(Tool, CloseDaySavesTheReportBeforeItZeroesAndNeverZeroesWithoutOne) {
    Dir dir;
    SimProcess sim({"--seed", kArticles, "--zero-delay", "0"});
    sim.say("sell 5900001000017 2.5");
    sim.say("sell 5900001000062 0.455");
    const std::string before = table(sim.path(), dir);
    ASSERT_NE(before.find("CHLEB ŻYTNI,4.50,0,1,2.500,11.25"), std::string::npos) << before;

    // Under a regular file no directory can exist, even for root.
    writeFile(dir / "file", "");
    Outcome run = velko({"--line", sim.path(), "close-day", "-o", dir / "file/reports"});
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("the counters were not touched"), std::string::npos) << run.err;
    EXPECT_EQ(table(sim.path(), dir), before);

    mkdir((dir / "reports").c_str(), 0755);
    run = velko({"--line", sim.path(), "close-day", "-o", dir / "reports"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("22 articles, quantity 2.955, value 24.85; counters zeroed"),
              std::string::npos)
        << run.err;
    const size_t at = run.err.find(dir / "reports/device-01_");
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_EQ(readFile(run.err.substr(at, run.err.find(':', at) - at)), before);
    EXPECT_EQ(table(sim.path(), dir), readFile(kArticles));

    // A device that answers the reset with "E" may not have zeroed: said, and not a success.
    SimProcess refusing({"--seed", kArticles, "--reply", "B;=E"});
    run = velko({"--line", refusing.path(), "close-day", "-o", dir / "reports"});
    EXPECT_EQ(run.status, 6);
    EXPECT_NE(run.err.find("answered the reset with 'E': it may not have zeroed"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(velko({"--line", refusing.path(), "zero-counters"}).status, 6);

    // A reset the device took but whose answer never came may have zeroed: the saved report's
    // name says so. A temporary report that a killed close of day left is removed.
    writeFile(dir / "reports/device-01_2026-01-01_22-00-00.csv.part", "half a report");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(dir / "reports/device-01_2026-01-01_22-00-00.csv.part", old);
    SimProcess garbling({"--seed", kArticles, "--fault", "B;=bad-crc"});
    run = velko({"--line", garbling.path(), "close-day", "-o", dir / "reports"});
    EXPECT_EQ(run.status, 6);
    EXPECT_NE(run.err.find("_reset-unconfirmed.csv; the device took the reset but its answer "
                           "never came (VELKO_ERR_CRC): the counters may be zeroed"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("removed 1 unfinished report file"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "reports/device-01_2026-01-01_22-00-00.csv.part"));
}

// Runs the tool in the background with its standard error in `errFile`.
pid_t startTool(const std::vector<std::string>& args, const std::string& errFile) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char*> argv = {const_cast<char*>(VELKO_TOOL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VELKO_TOOL, argv.data());
        _exit(127);
    }
    return pid;
}

int exitStatusOf(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Tool, CtrlCEndsAfterTheArticleOnTheLineAndLeavesTheDeviceReady) {
    Dir dir;
    // Paced like a real line at 9600 baud: the 22 articles take about four seconds. Ctrl-C
    // once the device's log shows the second article arriving.
    SimProcess sim({"--pace", "--zero-delay", "0", "--log"}, dir / "sim.log");
    const pid_t tool = startTool({"--line", sim.path(), "upload", kArticles}, dir / "err");
    for (int tries = 0; tries < 200 && count(readFile(dir / "sim.log"), "W0;") < 2; ++tries)
        usleep(50000);
    kill(tool, SIGINT);
    ASSERT_EQ(exitStatusOf(tool), 130) << readFile(dir / "err");
    const std::string err = readFile(dir / "err");
    const size_t at = err.find("interrupted: ");
    ASSERT_NE(at, std::string::npos) << err;
    const int sent = std::atoi(err.c_str() + at + 13);
    EXPECT_NE(err.find(" of 22 sent; the rest not"), std::string::npos) << err;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 22);
    // The end bytes went out and the line and its lock were let go: the next job runs, and
    // finds exactly what was sent.
    EXPECT_EQ(count(table(sim.path(), dir), "\n") - 1, size_t(sent));
}

TEST(Tool, DevicesOnOneLineTakeTurnsAndReportsTellLinesOfTheSameNumberApart) {
    Dir dir;
    SimProcess bus({"--seed", kArticles, "--zero-delay", "0"});
    SimProcess other({"--seed", kArticles, "--zero-delay", "0"});
    mkdir((dir / "reports").c_str(), 0755);
    const Outcome run = velko({"--line", bus.path() + "@1", "--line", bus.path() + "@2", "--line",
                               other.path(), "close-day", "-o", dir / "reports"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(bus.path() + "@2: report"), std::string::npos) << run.err;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "reports"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u);
    // "/dev/pts/3" is tagged "pts-3"; device 2 is alone with its number and needs no tag.
    for (const std::string* line : {&bus.path(), &other.path()}) {
        const std::string tag = "device-01_pts-" + line->substr(line->rfind('/') + 1) + "_2";
        EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return n.rfind(tag, 0) == 0;
        })) << tag;
    }
    EXPECT_EQ(names[2].rfind("device-02_2", 0), 0u) << names[2];
}

TEST(Simulator, KeepsItsStoreAcrossARestartWithTheSalesRungUp) {
    Dir dir;
    const std::string store = dir / "device.json";
    {
        SimProcess sim({"--store", store, "--log"}, dir / "log");
        ASSERT_EQ(velko({"--line", sim.path(), "upload", kArticles}).status, 0);
        sim.say("sell 5900001000130 2");
        ASSERT_EQ(velko({"--line", sim.path(), "delete", "5900001000222"}).status, 0);
        EXPECT_TRUE(sim.stop());
    }
    const std::string log = readFile(dir / "log");
    for (const char* line :
         {"host>device wake-up (FF)\n", "host>device address 01 (11 11)\n",
          "device>host frame \"D\"\n", "host>device frame \"C0;5900001000222;\"\n",
          "device>host ACK\n", "host>device END (13 13)\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    SimProcess again({"--store", store, "--seed", kArticles});  // the store wins over the seed
    const std::string after = table(again.path(), dir);
    EXPECT_NE(after.find("KAWA ZIARNISTA,32.99,0,4,2.000,65.98"), std::string::npos) << after;
    EXPECT_EQ(after.find("5900001000222"), std::string::npos);
    EXPECT_EQ(count(after, "\r\n"), 22u);
}

TEST(Simulator, KeepsEveryAnsweredChangeThroughAKillAndAHalfWrittenJournalLine) {
    Dir dir;
    const std::string store = dir / "device.json", journal = store + ".journal";
    std::string before;
    {
        SimProcess sim({"--store", store, "--zero-delay", "0"});
        ASSERT_EQ(velko({"--line", sim.path(), "upload", kArticles}).status, 0);
        sim.say("sell 5900001000130 2");
        ASSERT_EQ(velko({"--line", sim.path(), "delete", "5900001000222"}).status, 0);
        ASSERT_EQ(velko({"--line", sim.path(), "zero-counters"}).status, 0);
        sim.say("sell 5900001000017 2.5");
        before = table(sim.path(), dir);
        ASSERT_NE(before.find("CHLEB ŻYTNI,4.50,0,1,2.500,11.25"), std::string::npos) << before;
        ASSERT_NE(before.find("KAWA ZIARNISTA,32.99,0,4,0.000,0.00"), std::string::npos);
        ASSERT_EQ(before.find("5900001000222"), std::string::npos);
        // Nothing has rewritten the store yet: what follows comes back from the journal.
        ASSERT_EQ(readFile(store).find("5900001000017"), std::string::npos);
        sim.crash();
    }
    // The line the simulator was writing when it died, cut short.
    writeFile(journal, readFile(journal) + "9c1e A;5900001000017;1;450;0;2500;1");
    {
        SimProcess again({"--store", store}, dir / "errors");
        EXPECT_EQ(table(again.path(), dir), before);
        EXPECT_NE(readFile(dir / "errors").find("incomplete and ignored"), std::string::npos);
        ASSERT_EQ(velko({"--line", again.path(), "delete", "5900001000024"}).status, 0);
        EXPECT_TRUE(again.stop());
    }
    // A clean end leaves everything in the store, in the format older versions read.
    EXPECT_EQ(readFile(journal), "");
    unlink(journal.c_str());
    SimProcess last({"--store", store});
    const std::string after = table(last.path(), dir);
    EXPECT_EQ(after.find("5900001000024"), std::string::npos);
    EXPECT_NE(after.find("CHLEB ŻYTNI,4.50,0,1,2.500,11.25"), std::string::npos) << after;
    EXPECT_EQ(count(after, "\r\n"), 21u);
}

TEST(Tool, RunsOneJobPerLineAndOneSilentDeviceStopsNoOther) {
    Dir dir;
    SimProcess first({"--device", "1"});
    // Goes silent after the first article, for the rest of the session.
    SimProcess silent({"--fault", "W0;5900001000024;BU)KA KAJZERKA;1;65;0;=silent-after"});
    const Outcome run = velko({"--line", first.path(), "--line", silent.path() + "@7", "--trace",
                               dir / "trace.log", "upload", kArticles});
    EXPECT_EQ(run.status, 14);  // VELKO_ERR_READ
    EXPECT_NE(run.err.find(silent.path() + ": VELKO_ERR_READ: the device did not answer"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("line"), std::string::npos);
    EXPECT_NE(run.err.find("22 accepted, 0 refused"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1 accepted, 0 refused"), std::string::npos) << run.err;
    EXPECT_EQ(table(first.path(), dir), readFile(kArticles));
    EXPECT_NE(readFile(dir / "trace-1.log").find("sendArticles"), std::string::npos);
    EXPECT_NE(readFile(dir / "trace-2.log").find("initInLineMode"), std::string::npos);
}

TEST(Tool, EndsEachFaultOfTheLineWithItsOwnExitStatusAndMessage) {
    const struct {
        std::string fault;
        std::vector<std::string> command;
        int status;
        std::string message;
    } cases[] = {
        {"W0;5900001000031;MAS)O EKSTRA 200G;2;799;0;=drop",
         {"upload", kArticles},
         13,
         "VELKO_ERR_SEND: a frame could not be written"},
        {"I0;1;=bad-crc", {"download"}, 16, "VELKO_ERR_CRC: a frame from the device arrived"},
        {"C0;5900001000017;=cut",
         {"delete", "5900001000017"},
         14,
         "deleting 5900001000017 was not confirmed, nor any code after it: VELKO_ERR_READ"},
        {"",
         {"delete", "99999", "5900001000017"},
         4,
         "the device refused to delete 99999 (answered E); 0 code(s) before it"},
        {"",
         {"delete", "--continue", "99999", "5900001000017", "88888"},
         4,
         "the device refused to delete 99999, 88888 (answered E); 1 deleted"},
        {"W38;1;1;=long", {"upload", kArticles}, 15, "VELKO_ERR_FORMAT"},
        {"B;=nak:3", {"zero-counters"}, 0, "counters zeroed"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> simArgs = {"--seed", kArticles, "--zero-delay", "0"};
        if (!c.fault.empty()) simArgs.insert(simArgs.end(), {"--fault", c.fault});
        SimProcess sim(simArgs);
        std::vector<std::string> args = {"--line", sim.path()};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const Outcome run = velko(args);
        EXPECT_EQ(run.status, c.status) << c.fault << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.fault << "\n" << run.err;
    }
}

TEST(Tool, CloseDayOnAFullDiskLeavesNoReportAndTheCountersAlone) {
    Dir dir;
    const std::string disk = dir / "disk";
    mkdir(disk.c_str(), 0755);
    if (std::system(("mount -t tmpfs -o size=8k tmpfs " + disk + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    writeFile(disk + "/filler", std::string(8192, 'x'));
    SimProcess sim({"--seed", kArticles, "--zero-delay", "0"});
    sim.say("sell 5900001000017 1");
    const std::string before = table(sim.path(), dir);
    const Outcome run = velko({"--line", sim.path(), "close-day", "-o", disk});
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(disk + "/filler").size(), 8192u);
    (void)!std::system(("ls " + disk + " > " + dir / "listing").c_str());
    EXPECT_EQ(readFile(dir / "listing"), "filler\n") << "no report, whole or partial";
    EXPECT_EQ(table(sim.path(), dir), before);
    (void)!std::system(("umount " + disk).c_str());
}

// A free TCP port of the loopback address, for a server the test starts.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST(Tool, ReachesDevicesOnTheNetworkThroughTheSimulatorsTcpAndThroughSer2net) {
    Dir dir;
    SimProcess direct({"--tcp", "0", "--zero-delay", "0"});
    ASSERT_EQ(direct.path().rfind("tcp://127.0.0.1:", 0), 0u) << direct.path();
    ASSERT_EQ(velko({"--line", direct.path(), "upload", kArticles}).status, 0);
    EXPECT_EQ(table(direct.path(), dir), readFile(kArticles));
    const Outcome refused = velko({"--line", "tcp://127.0.0.1:1", "zero-counters"});
    EXPECT_EQ(refused.status, 12);
    EXPECT_NE(refused.err.find("VELKO_ERR_OPEN: tcp://127.0.0.1:1: connection refused"),
              std::string::npos)
        << refused.err;
    SimProcess dropping({"--tcp", "0", "--fault", "W38;1;1;=drop"});
    EXPECT_EQ(velko({"--line", dropping.path(), "upload", kArticles}).status, 13);

    // A serial device server in between: ser2net bridging a TCP port to the simulator's pty.
    SimProcess serial({"--seed", kArticles, "--zero-delay", "0"});
    const std::string port = std::to_string(freePort());
    writeFile(dir / "ser2net.yaml", "connection: &velko\n  accepter: tcp,127.0.0.1," + port +
                                        "\n  connector: serialdev," + serial.path() +
                                        ",9600n81,local\n");
    const pid_t ser2net = fork();
    if (ser2net == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execlp("ser2net", "ser2net", "-n", "-d", "-c", (dir / "ser2net.yaml").c_str(), nullptr);
        _exit(127);
    }
    const std::string line = "tcp://127.0.0.1:" + port;
    Outcome run;
    for (int attempt = 0; attempt < 50; ++attempt) {  // until ser2net listens
        run = velko({"--line", line, "download", "-o", dir / "bridged.csv"});
        if (run.status != 12) break;
        usleep(100000);
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir / "bridged.csv"), readFile(kArticles));
    EXPECT_EQ(velko({"--line", line, "zero-counters"}).status, 0);
    kill(ser2net, SIGTERM);
    waitpid(ser2net, nullptr, 0);
}

// The part of a growing log after what was seen before, and the frames of a kind in it. The
// end bytes of the run before may come late into the next part: count frames and addresses.
std::string logSince(const std::string& path, size_t& seen) {
    const std::string log = readFile(path);
    const std::string fresh = log.substr(std::min(seen, log.size()));
    seen = log.size();
    return fresh;
}
size_t frames(const std::string& log, const std::string& start) {
    return count(log, "host>device frame \"" + start);
}

// `kArticles` with `from` replaced by `to` (each once), rows dropped or added.
std::string editedList(const std::vector<std::pair<std::string, std::string>>& edits) {
    std::string list = readFile(kArticles);
    for (const auto& [from, to] : edits) {
        const size_t at = list.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) list.replace(at, from.size(), to);
    }
    return list;
}

TEST(Tool, SyncSendsOnlyTheChangesAndWithASavedTableReadsNothing) {
    Dir dir;
    SimProcess sim({"--seed", kArticles, "--zero-delay", "0", "--log"}, dir / "sim.log");
    sim.say("sell 5900001000017 2");
    size_t seen = 0;
    // A price changed, an article gone, one new; a name in small letters and a code with a
    // leading zero are the device's articles as they are.
    writeFile(dir / "day1.csv",
              editedList({{"CHLEB ŻYTNI,4.50", "CHLEB ŻYTNI,4.99"},
                          {"5900001000222,ŹDŹBŁO TRAWY,0.10,0,7,0.000,0.00\r\n", ""},
                          {"5900001000024,BUŁKA KAJZERKA", "05900001000024,bułka kajzerka"}}) +
                  "5900001000239,NOWOŚĆ,1.00,1,8,,\r\n");

    Outcome run = velko({"--line", sim.path(), "sync", dir / "day1.csv", "--dry-run"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("5900001000017  change  price  4.99      "), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("5900001000222  delete"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("5900001000239  add            NOWOŚĆ, 1.00, flag 1, group 8"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(count(run.out, "\n"), 4u) << "a heading and one row per change\n" << run.out;
    EXPECT_NE(run.err.find("would be 1 added, 1 changed, 1 deleted, 20 unchanged; nothing was "
                           "sent"),
              std::string::npos)
        << run.err;
    std::string log = logSince(dir / "sim.log", seen);
    EXPECT_EQ(frames(log, "I0;1;"), 1u) << "the table was read";
    EXPECT_EQ(frames(log, "W"), 0u) << log;
    EXPECT_EQ(frames(log, "C0;"), 0u) << log;

    // Read from the device: the two articles go up in one session, the one deletion in one.
    run = velko({"--line", sim.path(), "sync", dir / "day1.csv", "--save-table", dir / "t.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("1 added, 1 changed, 1 deleted, 20 unchanged; table saved in"),
              std::string::npos)
        << run.err;
    log = logSince(dir / "sim.log", seen);
    EXPECT_EQ(frames(log, "W38;"), 2u);
    EXPECT_EQ(frames(log, "W0;"), 2u) << log;
    EXPECT_EQ(frames(log, "W0;5900001000017;CHLEB _YTNI;1;499;0;"), 1u) << log;
    EXPECT_EQ(frames(log, "C0;5900001000222;"), 1u) << log;
    EXPECT_EQ(count(log, "host>device address"), 3u) << "download, upload, deletion";
    run = velko({"--line", sim.path(), "verify", dir / "day1.csv"});
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    logSince(dir / "sim.log", seen);
    // The changed article kept its sales; the saved table is the device's, counters and all.
    ASSERT_EQ(velko({"--line", sim.path(), "download", "-o", dir / "device.json"}).status, 0);
    logSince(dir / "sim.log", seen);
    EXPECT_NE(
        readFile(dir / "device.json").find("\"quantity\": \"2.000\",\n    \"value\": \"9.00\""),
        std::string::npos);
    EXPECT_EQ(readFile(dir / "t.json"), readFile(dir / "device.json"));

    // The next day against the saved table: nothing is read, one article crosses the line,
    // and the table saved again is the device's once more.
    writeFile(dir / "day2.csv", readFile(dir / "day1.csv") + "5900001000246,KEFIR,2.49,0,2,,\r\n");
    run = velko({"--line", sim.path(), "sync", dir / "day2.csv", "--against", dir / "t.json",
                 "--save-table", dir / "t.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("1 added, 0 changed, 0 deleted, 22 unchanged"), std::string::npos)
        << run.err;
    log = logSince(dir / "sim.log", seen);
    EXPECT_EQ(frames(log, "I0;1;"), 0u) << log;
    EXPECT_EQ(frames(log, "W0;"), 1u) << log;
    EXPECT_EQ(frames(log, "C0;"), 0u) << log;
    ASSERT_EQ(velko({"--line", sim.path(), "download", "-o", dir / "device.json"}).status, 0);
    EXPECT_EQ(readFile(dir / "t.json"), readFile(dir / "device.json"));

    // An article put on the device by hand stays with --keep-others, and goes without.
    writeFile(dir / "other.csv", "code,name,price\n777,INNY,1.00\n");
    ASSERT_EQ(velko({"--line", sim.path(), "upload", dir / "other.csv"}).status, 0);
    logSince(dir / "sim.log", seen);
    run = velko({"--line", sim.path(), "sync", dir / "day2.csv", "--keep-others", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("0 added, 0 changed, 0 deleted (1 left alone), 23 unchanged; verified"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(frames(logSince(dir / "sim.log", seen), "C0;"), 0u);
    run = velko({"--line", sim.path(), "sync", dir / "day2.csv", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("0 added, 0 changed, 1 deleted, 23 unchanged; verified: the device "
                           "holds the list (23 match)"),
              std::string::npos)
        << run.err;
    log = logSince(dir / "sim.log", seen);
    EXPECT_EQ(frames(log, "C0;777;"), 1u) << log;
    EXPECT_EQ(frames(log, "W"), 0u) << log;

    // An empty list would wipe the device: refused before anything is sent.
    writeFile(dir / "empty.csv", "code,name,price\n");
    EXPECT_EQ(velko({"--line", sim.path(), "sync", dir / "empty.csv"}).status, 3);
    EXPECT_EQ(count(logSince(dir / "sim.log", seen), "host>device address"), 0u);
}

TEST(Tool, VerifyNamesEveryDifferenceAndUploadVerifyCatchesAnArticleNotStored) {
    Dir dir;
    // The device holds one price other than the list's, lacks one article and has one more.
    writeFile(dir / "planted.csv",
              editedList({{"MLEKO 3.2% 1L,3.49", "MLEKO 3.2% 1L,3.59"},
                          {"5900001000130,KAWA ZIARNISTA,32.99,0,4,0.000,0.00\r\n", ""}}) +
                  "777,INNY,1.00,1,9,0.000,0.00\r\n");
    SimProcess planted({"--seed", dir / "planted.csv"});
    Outcome run = velko({"--line", planted.path(), "verify", kArticles});
    EXPECT_EQ(run.status, 8) << run.err;
    EXPECT_NE(run.err.find("differs from the list: 1 missing, 1 differ, 1 extra, 20 match"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out,
              "code           what     field  list                                    device\n"
              "777            extra                                                   INNY, 1.00, "
              "flag 1, group 9\n"
              "5900001000048  differs  price  3.49                                    3.59\n"
              "5900001000130  missing         KAWA ZIARNISTA, 32.99, flag 0, group 4\n");

    SimProcess same({"--seed", kArticles});
    run = velko({"--line", same.path(), "verify", kArticles});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("verified: the device holds the list (22 match)"), std::string::npos)
        << run.err;

    // A device that says "D" to an article and does not keep it: only reading back tells.
    SimProcess forgetful(
        {"--zero-delay", "0", "--reply", "W0;5900001000017;CHLEB _YTNI;1;450;0;=D"});
    run = velko({"--line", forgetful.path(), "upload", kArticles, "--verify"});
    EXPECT_EQ(run.status, 8) << run.err;
    EXPECT_NE(run.err.find("22 articles uploaded; the device's table differs from the list: 1 "
                           "missing, 0 differ, 21 match"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("5900001000017  missing         CHLEB ŻYTNI"), std::string::npos)
        << run.out;
    run = velko({"--line", same.path(), "upload", kArticles, "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("22 articles uploaded; verified: the device holds the list (22 match)"),
              std::string::npos)
        << run.err;
}

TEST(Tool, DrawsProgressOnATerminalOnlyAndQuietLeavesOnlyErrors) {
    SimProcess sim({"--zero-delay", "0"});
    const Outcome onTerminal =
        runOnTerminal(VELKO_TOOL, {"--line", sim.path(), "upload", kArticles});
    EXPECT_EQ(onTerminal.status, 0);
    EXPECT_NE(onTerminal.err.find("22/22"), std::string::npos) << onTerminal.err;
    EXPECT_NE(onTerminal.err.find("\x1b[1A\r\x1b[2K"), std::string::npos) << "redrawn in place";

    const Outcome piped = velko({"--line", sim.path(), "upload", kArticles});
    EXPECT_EQ(piped.err, "22 articles uploaded\n");
    const Outcome quiet =
        runOnTerminal(VELKO_TOOL, {"--quiet", "--line", sim.path(), "upload", kArticles});
    EXPECT_EQ(quiet.err, "");
}

TEST(Tool, ScanFindsADeviceAtItsOwnRateAndNumberAndLeavesItReadyForAJob) {
    Dir dir;
    // Hears only what the host sends at 19200 baud, as a real device at that rate would.
    SimProcess sim({"--device", "42", "--pace", "--baud", "19200", "--strict-baud", "--seed",
                    kArticles, "--zero-delay", "0", "--log"},
                   dir / "sim.log");
    Outcome run =
        velko({"--line", sim.path(), "scan", "--baud", "9600,19200", "--devices", "40-43"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count(run.out, "\n"), 2u) << "a heading and the one device found\n" << run.out;
    EXPECT_NE(run.out.find(sim.path() + "   19200      42  \"\"\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("at most about"), std::string::npos) << "the estimate comes first";

    run = velko(
        {"--line", sim.path() + "@42", "--baud", "19200", "download", "-o", dir / "found.csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir / "found.csv"), readFile(kArticles));

    // At 9600 nothing was heard; at 19200 numbers 40 to 42, and the search stopped at its find.
    // The session the scan's address opened ended with the end bytes before the download woke
    // the device again.
    const std::string log = readFile(dir / "sim.log");
    EXPECT_NE(log.find("at 9600 baud, not heard"), std::string::npos) << log;
    for (const char* number : {"40", "41"})
        EXPECT_EQ(count(log, std::string("host>device address ") + number), 1u) << log;
    EXPECT_EQ(count(log, "host>device address 42"), 2u) << "the scan's and the download's";
    EXPECT_EQ(log.find("address 43"), std::string::npos) << log;
    const size_t answer = log.find("device>host frame \"D\"");
    ASSERT_NE(answer, std::string::npos) << log;
    EXPECT_LT(log.find("host>device END (13 13)", answer), log.find("host>device wake-up", answer))
        << log;

    EXPECT_EQ(velko({"--line", sim.path(), "scan", "--devices", "7-100"}).status, 2);
    EXPECT_EQ(velko({"--line", sim.path(), "scan", "--baud", "9600,0"}).status, 2);
}

TEST(Tool, ScanReportsABusyLineAndOneThatDoesNotOpenAndSaysWhenNothingAnswered) {
    // Another program's exclusive lock on the simulator's terminal.
    SimProcess sim;
    const int holder = open(sim.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Outcome run = velko({"--line", sim.path(), "--line", "/dev/velko-no-such-line", "scan",
                         "--baud", "9600", "--devices", "1"});
    EXPECT_EQ(run.status, 12) << "nothing could be scanned\n" << run.err;
    EXPECT_NE(run.err.find(sim.path() + ": busy, not scanned: " + sim.path() +
                           " is held by another program"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("/dev/velko-no-such-line: not scanned: no such device"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    close(holder);

    // A line where nothing answers: a terminal of the test's own.
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    run = velko({"--line", ttyname(slave), "scan", "--devices", "3,5", "--baud", "19200"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("no device answered any of 2 addresses"), std::string::npos) << run.err;
    close(master);
    close(slave);
}

}  // namespace
}  // namespace velko::test
