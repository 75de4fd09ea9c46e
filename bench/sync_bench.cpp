// A day's price change with `velko sync --against` over a pseudo-terminal against the paced
// simulator: a long list of which few articles changed, timed from the tool's start to its end
// (reading both files, comparing, the one upload session), against the protocol's floor of the
// changed articles' upload, and against the floor of uploading the whole list. Prints a table;
// passes or fails on nothing.
//   sync_bench [ARTICLES [CHANGES [BAUD]]]   (default 5000 50 9600)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "device/floor.h"
#include "files/article_file.h"

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::string& program, const std::vector<std::string>& args, int out) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (out >= 0) dup2(out, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write(const std::string& path, const std::vector<ArticleRecord>& records) {
    std::ofstream out(path, std::ios::binary);
    velko::files::writeArticles(out, velko::files::Format::Csv, records,
                                *velko::files::makeTextCodec());
}

}  // namespace

int main(int argc, char** argv) {
    const int articles = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int changes = argc > 2 ? std::atoi(argv[2]) : 50;
    const uint32_t baud = argc > 3 ? uint32_t(std::atoi(argv[3])) : 9600;
    if (articles < 1 || changes < 0 || changes > articles || baud == 0) {
        std::fprintf(stderr, "usage: sync_bench [ARTICLES [CHANGES [BAUD]]]\n");
        return 2;
    }

    // The device's table with some sales, and the list with every n-th price raised.
    std::vector<ArticleRecord> table, list, changed;
    for (int i = 0; i < articles; ++i) {
        ArticleRecord r{};
        std::snprintf(r.code, sizeof r.code, "%lld", 5900002000000LL + i);
        std::snprintf(r.name, sizeof r.name, "ARTYKU\xA3 %d", i);  // ARTYKUŁ
        r.price = 100 + i % 9000;
        r.group = int8_t(i % 20);
        r.quantityCounter = i * 7;
        r.valueCounter = i * 11;
        table.push_back(r);
        r.quantityCounter = r.valueCounter = 0;
        if (changes && i % (articles / changes) == 0 && int(changed.size()) < changes) {
            r.price += 10;
            changed.push_back(r);
        }
        list.push_back(r);
    }
    char dirName[] = "/tmp/velko-sync-bench-XXXXXX";
    const std::string dir = mkdtemp(dirName);
    write(dir + "/table.csv", table);
    write(dir + "/list.csv", list);

    int out[2];
    if (pipe(out) != 0) return 2;
    const pid_t sim = spawn(VELKO_SIM_PROGRAM,
                            {"--pace", "--baud", std::to_string(baud), "--zero-delay", "0",
                             "--seed", dir + "/table.csv"},
                            out[1]);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);

    const auto start = Clock::now();
    const int status = waitFor(spawn(VELKO_TOOL,
                                     {"--quiet", "--baud", std::to_string(baud), "--line", line,
                                      "sync", dir + "/list.csv", "--against", dir + "/table.csv"},
                                     -1));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(sim, SIGTERM);
    waitFor(sim);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());

    const velko::Floor floor(baud);
    const double changesFloor = floor.uploadMs(changed, false) / 1000;
    const double listFloor = floor.uploadMs(list, false) / 1000;
    std::printf("%-22s %8s %7s %7s %9s %11s %8s %14s %10s\n", "sync --against", "articles",
                "changed", "baud", "wall s", "floor s", "ratio", "whole list s", "speed-up");
    std::printf("%-22s %8d %7zu %7u %9.2f %11.2f %7.3fx %14.1f %9.1fx%s\n", "", articles,
                changed.size(), baud, wall, changesFloor, wall / changesFloor, listFloor,
                listFloor / wall, status == 0 ? "" : "  (failed)");
    return 0;
}
