// Every job over a pseudo-terminal against velko-sim --pace (which gives every byte its wire
// time at the nominal rate), in real time: wall time per article against the protocol's floor
// (its pauses plus the wire time of every byte both ways), and the host's CPU time. Then the
// host's CPU while it waits out a device that never answers. Prints tables; passes or fails on
// nothing.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/floor.h"
#include "link/posix_platform.h"
#include "link/velko_comm.h"
#include "sim/device_model.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sim {
    explicit Sim(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) std::exit(2);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(VELKO_SIM_PROGRAM)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VELKO_SIM_PROGRAM, argv.data());
            _exit(127);
        }
        close(out[1]);
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') path.push_back(c);
        close(out[0]);
    }
    ~Sim() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
    std::string path;
};

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

std::vector<ArticleRecord> articles;

ArticleRecord make(int i) {
    ArticleRecord r{};
    std::snprintf(r.code, sizeof r.code, "%lld", 5900001000000LL + i);
    std::snprintf(r.name, sizeof r.name, "\xA3\xF3\x64\x9F %d", i);  // Łódź
    r.price = 100 + i;
    return r;
}

int32_t VELKO_CALL supply(const char*, int32_t index, ArticleRecord* r, uint32_t) {
    if (index < 0 || size_t(index) >= articles.size()) return 0;
    *r = articles[size_t(index)];
    return 1;
}
int32_t VELKO_CALL consume(const char*, int32_t, ArticleRecord*, uint32_t) {
    return 1;
}

// The floor of each job for `articles` at `baud`.
double floorMs(const std::string& job, uint32_t baud) {
    const velko::Floor f(baud);
    if (job == "upload") return f.uploadMs(articles, false);
    if (job == "download") {
        std::vector<size_t> listing;
        for (const auto& r : articles) {
            velko::SimArticle a{
                std::string(r.code), velko::VELKOComm::encodeName(r.name), 1, r.price, 0, 0, 0};
            listing.push_back(velko::DeviceModel::listingLine(a).size());
        }
        return f.downloadMs(listing);
    }
    double ms = f.sessionMs();
    if (job == "delete") {
        for (const auto& r : articles) ms += f.exchangeMs(std::strlen(r.code) + 4, 1);
    } else {
        ms += f.exchangeMs(2, 1);
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 100, 1000};
    std::printf("%-9s %8s %7s %13s %14s %7s %14s\n", "job", "articles", "baud", "wall ms/art",
                "floor ms/art", "ratio", "cpu ms/art");
    for (uint32_t baud : {9600u, 115200u}) {
        for (int n : counts) {
            articles.clear();
            for (int i = 0; i < n; ++i) articles.push_back(make(i));
            Sim sim({"--pace", "--baud", std::to_string(baud), "--zero-delay", "0"});
            velko::PosixPlatform platform;
            platform.mapPort(1, sim.path);
            velko::VELKOComm link(platform);
            for (const char* job : {"upload", "download", "delete", "zero"}) {
                velko::ReplyString session;
                int32_t a = 0, b = 0;
                const double cpu0 = cpuMs();
                const auto t0 = Clock::now();
                int32_t rc = VELKO_OK;
                if (!std::strcmp(job, "upload"))
                    rc = link.sendArticles(1, baud, 0, 0, 0, 1, session, supply, nullptr, 0, a, b);
                if (!std::strcmp(job, "download"))
                    rc = link.receiveArticles(1, baud, 1, session, consume, 0, a);
                if (!std::strcmp(job, "delete"))
                    rc = link.deleteArticles(1, baud, 1, session, supply, 0, a);
                if (!std::strcmp(job, "zero")) rc = link.zeroCounters(1, baud, 1, session);
                link.close();
                const double wall =
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                const double cpu = cpuMs() - cpu0, per = n ? n : 1;
                const double floor = floorMs(job, baud);
                std::printf("%-9s %8d %7u %13.1f %14.1f %6.3fx %14.3f%s\n", job, n, baud,
                            wall / per, floor / per, wall / floor, cpu / per,
                            rc == VELKO_OK ? "" : "  (failed)");
                std::fflush(stdout);
            }
        }
    }
    // Waiting: a device that never answers costs the host a 20 s wait, asleep in the kernel.
    Sim silent({"--silent"});
    velko::PosixPlatform platform;
    platform.mapPort(1, silent.path);
    velko::VELKOComm link(platform);
    velko::ReplyString session;
    const double cpu0 = cpuMs();
    const auto t0 = Clock::now();
    link.zeroCounters(1, 9600, 1, session);
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("\nwaiting out a silent device: %.1f s, host CPU %.1f ms (%.4f %% of a core)\n",
                wall / 1000, cpuMs() - cpu0, 100 * (cpuMs() - cpu0) / wall);

    // What this machine charges a process for waking up, which no implementation escapes: an
    // uploaded article is one pause (the 20 ms after the reply's acknowledgement and the 100 ms
    // before the next frame, run together) and two waits for the line (the acknowledgement,
    // then the reply).
    constexpr int kRounds = 20;
    const double idle0 = cpuMs();
    for (int i = 0; i < kRounds; ++i) {
        platform.sleep(120);
        poll(nullptr, 0, 4);
        poll(nullptr, 0, 1);
    }
    std::printf("three wake-ups alone (an article's pause and two waits): host CPU %.3f ms\n",
                (cpuMs() - idle0) / kRounds);
    return 0;
}
