// velko serve against its floor and against the tool: one upload through the service and the
// same through `velko upload`; 16 devices uploading while 200 clients poll the API and listen
// to its events (each job against its floor, the API's latency); and the service's memory over
// 10 000 jobs. Prints tables; passes or fails on nothing.
//   serve_bench VELKO VELKO_SIM [ARTICLES=100] [JOBS=10000] [CLIENTS=200]
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/floor.h"
#include "files/text_codec.h"
#include "files/validate.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A child process whose standard output is read line by line.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    Child(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fdopen(fds[0], "r");
    }
    std::string line() {
        char buf[512];
        return out && fgets(buf, sizeof buf, out) ? std::string(buf, strcspn(buf, "\n")) : "";
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (out) fclose(out);
    }
};

struct Service {
    std::unique_ptr<Child> child;
    int port = 0;
    std::string token;
    Service(const std::string& velko, std::vector<std::string> args) {
        args.insert(args.begin(), {velko, "serve"});
        child = std::make_unique<Child>(args);
        const bool simulated = args[2] == "--simulate";
        for (std::string l; !(l = child->line()).empty();) {
            if (l.find("listening on") != std::string::npos)
                port = std::stoi(l.substr(l.rfind(':') + 1));
            if (l.find("token (operate): ") != std::string::npos)
                token = l.substr(l.rfind(' ') + 1);
            if (port && (!simulated || !token.empty())) break;
        }
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port);
        c.set_default_headers({{"Authorization", "Bearer " + token}});
        c.set_read_timeout(60, 0);
        return c;
    }
    long rssKb() const {
        std::ifstream status("/proc/" + std::to_string(child->pid) + "/status");
        for (std::string l; std::getline(status, l);) {
            if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
        }
        return 0;
    }
};

json waitJob(httplib::Client& c, int64_t id) {
    for (;;) {
        const auto r = c.Get("/api/jobs/" + std::to_string(id));
        if (r && r->status == 200) {
            json job = json::parse(r->body);
            const std::string s = job["state"];
            if (s != "queued" && s != "running") return job;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string priceList(int articles) {
    std::string text = "code,name,price\n";
    for (int i = 1; i <= articles; ++i)
        text += std::to_string(5900002000000LL + i) + ",ARTYKUŁ " + std::to_string(i) + "," +
                std::to_string(i % 90 + 1) + ".99\n";
    return text;
}

double uploadFloorSeconds(const std::string& list) {
    std::vector<ArticleRecord> records;
    std::vector<velko::files::Fault> faults;
    velko::files::loadArticleText("list", velko::files::Format::Csv, list,
                                  velko::files::RowUse::Upload, *velko::files::makeTextCodec(),
                                  records, faults);
    return velko::Floor(9600).uploadMs(records, false) / 1000;
}

std::string tempDir() {
    char shm[] = "/dev/shm/velko-bench-XXXXXX", tmp[] = "/tmp/velko-bench-XXXXXX";
    const char* dir = mkdtemp(shm);
    return dir ? dir : mkdtemp(tmp);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: serve_bench VELKO VELKO_SIM [ARTICLES] [JOBS]\n");
        return 2;
    }
    const std::string velko = argv[1], sim = argv[2];
    const int articles = argc > 3 ? std::atoi(argv[3]) : 100;
    const int jobs = argc > 4 ? std::atoi(argv[4]) : 10000;
    const int clients = argc > 5 ? std::atoi(argv[5]) : 200;
    const std::string work = tempDir();
    const std::string list = priceList(articles);
    std::ofstream(work + "/list.csv") << list;
    const double floor = uploadFloorSeconds(list);

    // One upload through the tool and through the service, each to a paced device of its own.
    Child toolSim({sim, "--pace"}), serviceSim({sim, "--pace"});
    const std::string toolLine = toolSim.line(), serviceLine = serviceSim.line();
    auto start = Clock::now();
    const std::string command =
        velko + " --quiet --line " + toolLine + " upload " + work + "/list.csv";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "the tool's upload failed\n");
    const double tool = since(start);
    std::ofstream(work + "/one.toml")
        << "data = \"" << work
        << "/one\"\n[[token]]\nname = \"b\"\nsecret = \"bench-secret-0123456789\"\n"
        << "role = \"operate\"\n[[device]]\nname = \"till\"\nline = \"" << serviceLine << "\"\n";
    double service = 0;
    {
        Service one(velko, {"--config", work + "/one.toml", "--listen", "127.0.0.1:0"});
        one.token = "bench-secret-0123456789";
        auto c = one.client();
        start = Clock::now();
        const auto r = c.Post("/api/devices/till/upload", list, "text/csv");
        const json job = waitJob(c, json::parse(r->body)["id"].get<int64_t>());
        service = since(start);
        if (job["state"] != "done")
            std::fprintf(stderr, "the service's upload: %s\n", job.dump().c_str());
    }
    std::printf("one upload of %d articles at 9600 baud, floor %.2f s\n", articles, floor);
    std::printf("%-10s %9s %9s\n", "through", "wall s", "vs floor");
    std::printf("%-10s %9.2f %8.3fx\n", "velko", tool, tool / floor);
    std::printf("%-10s %9.2f %8.3fx   (service / tool: %.3fx)\n\n", "serve", service,
                service / floor, service / tool);

    // 16 simulated devices uploading while 200 clients poll and listen.
    {
        Service many(velko,
                     {"--simulate", "16", "--listen", "127.0.0.1:0", "--data", work + "/many"});
        std::atomic<bool> stop{false}, uploading{false};
        std::mutex m;
        std::vector<double> latencies;
        std::map<int64_t, Clock::time_point> began, ended;
        std::vector<std::thread> pool;
        for (int i = 0; i < clients / 2; ++i) {
            pool.emplace_back(
                [&, i] {  // pollers: the job log or the devices, once a second as the page
                    auto c = many.client();
                    while (!stop) {
                        const auto t = Clock::now();
                        const auto r = c.Get(i % 2 ? "/api/jobs?limit=20" : "/api/devices");
                        const double s = since(t);
                        if (r && r->status == 200 && uploading) {
                            std::lock_guard<std::mutex> lock(m);
                            latencies.push_back(s);
                        }
                        std::this_thread::sleep_for(std::chrono::seconds(1));
                    }
                });
        }
        std::atomic<long> events{0};
        for (int i = 0; i < std::max(1, clients / 2); ++i) {
            pool.emplace_back([&, i] {  // listeners; the first also times each job
                auto c = many.client();
                std::string pending;
                c.Get("/api/events", [&](const char* data, size_t size) {
                    pending.append(data, size);
                    for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                        const std::string e = pending.substr(0, end);
                        pending.erase(0, end + 2);
                        ++events;
                        const size_t d = e.find("event: job\ndata: ");
                        if (i != 0 || d == std::string::npos) continue;
                        const json job = json::parse(e.substr(d + 17));
                        std::lock_guard<std::mutex> lock(m);
                        if (job["state"] == "running" && !began.count(job["id"]))
                            began[job["id"]] = Clock::now();
                        if (job["state"] == "done") ended[job["id"]] = Clock::now();
                    }
                    return !stop;
                });
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        auto c = many.client();
        uploading = true;  // answers count from here: the clients are all connected
        const auto r = c.Post("/api/groups/sim/upload", list, "text/csv");
        if (!r || r->status != 202) {
            std::fprintf(stderr, "the uploads were not accepted: %s\n",
                         r ? (std::to_string(r->status) + " " + r->body).c_str()
                           : httplib::to_string(r.error()).c_str());
            return 1;
        }
        std::vector<int64_t> ids;
        const json made = json::parse(r->body);
        for (const auto& j : made["jobs"]) ids.push_back(j["id"]);
        // Meanwhile, 20 connections from another process ask for the devices as fast as
        // they are answered (when wrk is installed).
        const std::string wrk = "wrk -t 2 -c 20 -d " + std::to_string(int(floor * 0.8) + 1) +
                                "s --latency -H 'Authorization: Bearer " + many.token +
                                "' http://127.0.0.1:" + std::to_string(many.port) +
                                "/api/devices 2>/dev/null";
        FILE* load =
            std::system("command -v wrk >/dev/null") == 0 ? popen(wrk.c_str(), "r") : nullptr;
        for (int64_t id : ids) waitJob(c, id);
        std::string wrkSays;
        if (load) {
            char text[512];
            while (std::fgets(text, sizeof text, load)) {
                const std::string l = text;
                if (l.find("50%") != std::string::npos || l.find("99%") != std::string::npos ||
                    l.find("Requests/sec") != std::string::npos)
                    wrkSays += "  wrk, 20 connections on /api/devices:" + l;
            }
            pclose(load);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
        for (auto& t : pool) t.join();
        std::vector<double> ratios;
        for (int64_t id : ids) {
            if (began.count(id) && ended.count(id))
                ratios.push_back(std::chrono::duration<double>(ended[id] - began[id]).count() /
                                 floor);
        }
        std::sort(ratios.begin(), ratios.end());
        std::sort(latencies.begin(), latencies.end());
        const auto pct = [&](double p) {
            return latencies.empty() ? 0.0
                                     : latencies[size_t(p * double(latencies.size() - 1))] * 1000;
        };
        std::printf("16 devices uploading %d articles each, %d clients polling, %d listening\n",
                    articles, clients / 2, std::max(1, clients / 2));
        std::printf("jobs timed %zu of %zu: vs floor best %.3fx, worst %.3fx (goal 1.02x)\n",
                    ratios.size(), ids.size(), ratios.empty() ? 0 : ratios.front(),
                    ratios.empty() ? 0 : ratios.back());
        std::printf(
            "API answers %zu: p50 %.1f ms, p99 %.1f ms (goal p99 under 50 ms); %ld events "
            "delivered\n",
            latencies.size(), pct(0.5), pct(0.99), events.load());
        std::printf("%s\n", wrkSays.c_str());
    }

    // Memory over many jobs: jobs on a line that does not exist end at once.
    std::ofstream(work + "/mem.toml")
        << "data = \"" << work
        << "/mem\"\n[[token]]\nname = \"b\"\nsecret = \"bench-secret-0123456789\"\n"
        << "role = \"operate\"\n[[device]]\nname = \"gone\"\nline = \"/nonexistent/velko-bench\"\n";
    Service mem(velko, {"--config", work + "/mem.toml", "--listen", "127.0.0.1:0"});
    mem.token = "bench-secret-0123456789";
    auto mc = mem.client();
    std::printf("%8s %10s\n", "jobs", "RSS MiB");
    int64_t last = 0;
    for (int i = 1; i <= jobs; ++i) {
        const auto r = mc.Post("/api/devices/gone/download", "", "text/plain");
        if (r && r->status == 202) last = json::parse(r->body)["id"];
        if (i == 100 || i == jobs / 10 || i == jobs / 2 || i == jobs) {
            waitJob(mc, last);
            std::printf("%8d %10.1f\n", i, double(mem.rssKb()) / 1024);
        }
    }
    std::filesystem::remove_all(work);
    return 0;
}
