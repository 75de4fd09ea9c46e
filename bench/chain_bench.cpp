// A chain against one Mosquitto and one `velko hq`: STORES store agents with 4 devices each
// (the agents speak the shops' topics without serial lines, all in this process), a chain-wide
// price change of 50 articles applied and reported everywhere, then a round of day reports of
// ROWS rows per device landing in head office's database. Prints the times and the broker's
// and head office's CPU and memory, per store, for each chain size. Passes or fails on nothing.
// --as-shipped runs the broker as the package's example configures it: TLS with the chain's
// own CA, a login per store made by velko-broker (Mosquitto's dynamic-security plugin), client
// ids bound to logins, and persistence saved every 10 s.
//   chain_bench VELKO [--as-shipped] [ROWS=5000] [STORES...=50 200]
#include <arpa/inet.h>
#include <httplib.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
const char kToken[] = "chain-bench-secret-0123";

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

// Waits for `done` up to a minute and a half; false when it never came.
template <typename Done>
bool waitFor(Done done, const char* what) {
    const auto end = Clock::now() + std::chrono::seconds(90);
    while (!done()) {
        if (Clock::now() > end) {
            std::fprintf(stderr, "chain_bench: timed out waiting for %s\n", what);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!freopen(out.c_str(), "w", stdout);
        (void)!freopen("/dev/null", "w", stderr);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct Usage {
    double cpuSeconds = 0;
    long peakKb = 0;
};
Usage usageOf(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    u.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(status, l);) {
        if (l.rfind("VmHWM:", 0) == 0) u.peakKb = std::stol(l.substr(6));
    }
    return u;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "chain_bench: failed: %s\n", command.c_str());
}

// The broker as the package ships it, in WORK listening on PORT for the stores and ADMIN for
// velko-broker: the example configuration with this folder's files, a CA and the broker's
// certificate.
void shippedBroker(const std::string& work, int port, int admin) {
    const std::string quiet = " >/dev/null 2>&1";
    run("cd " + work +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=chain-ca -keyout ca.key "
        "-out ca.pem" +
        quiet +
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout broker.key -out "
        "broker.csr" +
        quiet +
        " && openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-out broker.crt" +
        quiet);
    run(VELKO_SOURCE_DIR "/packaging/mosquitto/velko-broker init " + work +
        "/dynamic-security.json admin admin" + quiet);
    std::ifstream shipped(VELKO_SOURCE_DIR "/packaging/mosquitto/velko.conf");
    std::ofstream conf(work + "/mosquitto.conf");
    for (std::string line; std::getline(shipped, line);) {
        const auto is = [&](const char* key) { return line.rfind(key, 0) == 0; };
        if (is("plugin_opt_config_file"))
            line = "plugin_opt_config_file " + work + "/dynamic-security.json";
        if (is("listener 1883")) line = "listener " + std::to_string(admin) + " 127.0.0.1";
        if (is("listener 8883")) line = "listener " + std::to_string(port) + " 127.0.0.1";
        if (is("certfile")) line = "certfile " + work + "/broker.crt";
        if (is("keyfile")) line = "keyfile " + work + "/broker.key";
        if (is("persistence ")) line += "\npersistence_location " + work + "/keep/";
        conf << line << "\n";
    }
    // Started by root, the broker drops to its own user, which must read and write here.
    std::filesystem::create_directory(work + "/keep");
    std::filesystem::permissions(work, std::filesystem::perms::all);
    std::filesystem::permissions(work + "/keep", std::filesystem::perms::all);
    for (const char* file : {"dynamic-security.json", "broker.key", "broker.crt", "ca.pem"})
        std::filesystem::permissions(work + "/" + file, std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::group_read |
                                                            std::filesystem::perms::others_read);
}

// One store: its client, and what it answers.
struct Agent {
    std::string store;
    mosquitto* client = nullptr;
    std::atomic<bool> connected{false};
};

void onMessage(mosquitto* client, void* self, const mosquitto_message* m) {
    auto& agent = *static_cast<Agent*>(self);
    const json desired = json::parse(
        std::string(static_cast<const char*>(m->payload), size_t(m->payloadlen)), nullptr, false);
    if (!desired.is_object()) return;
    std::string topic = m->topic;
    topic.replace(topic.size() - 7, 7, "reported");  // ".../desired" -> ".../reported"
    const std::string reported = json{
        {"version", desired["version"]},
        {"checksum", desired["checksum"]},
        {"state", "verified"},
        {"detail", "applied by " +
                       agent.store}}.dump();
    mosquitto_publish(client, nullptr, topic.c_str(), int(reported.size()), reported.data(), 1,
                      true);
}

json get(int port, const std::string& path) {
    httplib::Client c("127.0.0.1", port);
    c.set_default_headers({{"Authorization", std::string("Bearer ") + kToken}});
    const auto r = c.Get(path);
    return r && r->status == 200 ? json::parse(r->body) : json();
}

// Yesterday, UTC: head office takes only business days of the last 400.
std::string yesterday() {
    const std::time_t at = std::time(nullptr) - 86400;
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&at));
    return text;
}

std::string dayReport(const std::string& store, const std::string& device, int rows) {
    json list = json::array();
    for (int i = 1; i <= rows; ++i) {
        list.push_back({{"code", std::to_string(5900002000000LL + i)},
                        {"name", "ARTYKUŁ " + std::to_string(i)},
                        {"price", "4.99"},
                        {"flag", 0},
                        {"group", 1},
                        {"quantity", "2.000"},
                        {"value", "9.98"}});
    }
    char total[32];
    std::snprintf(total, sizeof total, "%d.%02d", rows * 998 / 100, rows * 998 % 100);
    return json{{"store", store},
                {"device", device},
                {"business_day", yesterday()},
                {"version", 1},
                {"reports", json::array({json{{"id", 1}}})},
                {"quantity", std::to_string(rows * 2) + ".000"},
                {"value", total},
                {"rows", list}}
        .dump();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: chain_bench VELKO [--as-shipped] [ROWS] [STORES...]\n");
        return 2;
    }
    const std::string velko = argv[1];
    const bool shipped = argc > 2 && std::string(argv[2]) == "--as-shipped";
    const int first = shipped ? 3 : 2;
    const int rows = argc > first ? std::atoi(argv[first]) : 5000;
    std::vector<int> sizes;
    for (int i = first + 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {50, 200};
    // Head office on PostgreSQL when a server is given (./scripts/bench runs it both ways).
    const char* postgres = std::getenv("VELKO_TEST_POSTGRES");
    std::printf(
        "head office's database: %s; broker: %s\n", postgres ? "PostgreSQL" : "SQLite",
        shipped ? "as shipped (TLS, logins and roles, persistence)" : "plain, no persistence");
    mosquitto_lib_init();
    std::printf("%7s %8s %12s %14s %10s %10s %12s %10s\n", "stores", "devices", "prices s",
                "day reports s", "hq cpu s", "hq MiB", "broker cpu s", "broker MiB");
    for (int stores : sizes) {
        char dir[] = "/tmp/velko-chain-XXXXXX";
        const std::string work = mkdtemp(dir);
        const int broker = freePort(), api = freePort(), admin = freePort();
        if (shipped) {
            shippedBroker(work, broker, admin);
        } else {
            std::ofstream(work + "/mosquitto.conf")
                << "listener " << broker << " 127.0.0.1\nallow_anonymous true\n"
                << "persistence false\nmax_queued_messages 100000\nmax_inflight_messages 100\n";
        }
        const pid_t mq = spawn({"mosquitto", "-c", work + "/mosquitto.conf"}, "/dev/null");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // A login for head office, its command line and each store, made as the docs say (the
        // password is the login's name).
        if (shipped) {
            const std::string broker = "VELKO_BROKER_OPTIONS='-h 127.0.0.1 -p " +
                                       std::to_string(admin) + " -u admin -P admin' " +
                                       VELKO_SOURCE_DIR "/packaging/mosquitto/velko-broker ";
            for (const char* login : {"head-office", "head-office-tool"})
                run(broker + "head-office " + login + " " + login);
            for (int s = 1; s <= stores; ++s) {
                const std::string store = "store-" + std::to_string(s);
                run(broker + "shop " + store + " " + store);
            }
        }
        std::ofstream(work + "/hq.toml")
            << "broker = \"" << (shipped ? "mqtts" : "mqtt") << "://127.0.0.1:" << broker
            << "\"\ndata = \"" << work << "/hq\"\nlisten = \"127.0.0.1:" << api << "\"\n"
            << (postgres ? "database = \"" + std::string(postgres) + "\"\n" : "")
            << (shipped ? "ca = \"" + work +
                              "/ca.pem\"\nusername = \"head-office\"\npassword = "
                              "\"head-office\"\ntool_username = \"head-office-tool\"\n"
                              "tool_password = \"head-office-tool\"\n"
                        : "")
            << "[[token]]\nname = \"b\"\nsecret = \"" << kToken << "\"\n";
        // Each size starts from an empty database.
        if (postgres)
            (void)!std::system(("psql -q '" + std::string(postgres) +
                                "' -c 'DROP SCHEMA public CASCADE' -c 'CREATE SCHEMA public' "
                                ">/dev/null 2>&1")
                                   .c_str());
        const pid_t hq = spawn({velko, "hq", "--config", work + "/hq.toml"}, "/dev/null");
        waitFor([&] { return !get(api, "/api/health").is_null(); }, "head office");

        std::vector<std::unique_ptr<Agent>> agents;
        for (int s = 1; s <= stores; ++s) {
            auto a = std::make_unique<Agent>();
            a->store = "store-" + std::to_string(s);
            a->client = mosquitto_new(("agent-" + a->store).c_str(), true, a.get());
            mosquitto_message_callback_set(a->client, onMessage);
            if (shipped) {
                mosquitto_username_pw_set(a->client, a->store.c_str(), a->store.c_str());
                mosquitto_tls_set(a->client, (work + "/ca.pem").c_str(), nullptr, nullptr, nullptr,
                                  nullptr);
            }
            mosquitto_connect(a->client, "127.0.0.1", broker, 60);
            const std::string filter = "velko/" + a->store + "/+/pricelist/desired";
            mosquitto_subscribe(a->client, nullptr, filter.c_str(), 1);
            // Its presence names its devices: head office knows a device only so (or from
            // its register).
            const std::string status = "velko/" + a->store + "/status";
            const std::string presence =
                R"({"state": "online", "since": "2026-12-10T08:00:00Z", "at": )"
                R"("2026-12-10T08:00:00Z", "started": "2026-12-10T08:00:00Z", "seq": 1, )"
                R"("devices": ["till-1", "till-2", "till-3", "till-4"]})";
            mosquitto_publish(a->client, nullptr, status.c_str(), int(presence.size()),
                              presence.data(), 1, true);
            mosquitto_loop_start(a->client);
            agents.push_back(std::move(a));
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));

        // A chain-wide price change: published, applied and reported by every device.
        std::ofstream list(work + "/prices.csv");
        list << "code,name,price\n";
        for (int i = 1; i <= 50; ++i) list << 5900002000000LL + i << ",ARTYKUŁ " << i << ",5.49\n";
        list.close();
        std::string publish = velko + " hq --config " + work + "/hq.toml publish";
        for (int s = 1; s <= stores; ++s) publish += " --store store-" + std::to_string(s);
        for (int d = 1; d <= 4; ++d) publish += " --device till-" + std::to_string(d);
        publish += " " + work + "/prices.csv >/dev/null";
        const Usage hq0 = usageOf(hq), mq0 = usageOf(mq);
        auto start = Clock::now();
        if (std::system(publish.c_str()) != 0) std::fprintf(stderr, "publish failed\n");
        waitFor(
            [&] {
                const json status = get(api, "/api/status");
                size_t verified = 0;
                for (const auto& d : status.value("devices", json::array()))
                    verified += d["reported"] == 1 && d["state"] == "verified";
                return verified >= size_t(stores) * 4;
            },
            "every device's report of the price list");
        const double prices = std::chrono::duration<double>(Clock::now() - start).count();

        // A round of day reports: 4 a store, ROWS rows each.
        start = Clock::now();
        for (auto& a : agents) {
            for (int d = 1; d <= 4; ++d) {
                const std::string device = "till-" + std::to_string(d);
                const std::string topic =
                    "velko/" + a->store + "/" + device + "/closeday/" + yesterday();
                const std::string payload = dayReport(a->store, device, rows);
                mosquitto_publish(a->client, nullptr, topic.c_str(), int(payload.size()),
                                  payload.data(), 1, false);
            }
        }
        waitFor(
            [&] {
                const json day = get(api, "/api/reports?day=" + yesterday());
                return day.value("reports", json::array()).size() >= size_t(stores) * 4;
            },
            "every day report");
        const double reports = std::chrono::duration<double>(Clock::now() - start).count();
        const Usage hq1 = usageOf(hq), mq1 = usageOf(mq);
        std::printf("%7d %8d %12.1f %14.1f %10.1f %10.1f %12.1f %10.1f\n", stores, stores * 4,
                    prices, reports, hq1.cpuSeconds - hq0.cpuSeconds, double(hq1.peakKb) / 1024,
                    mq1.cpuSeconds - mq0.cpuSeconds, double(mq1.peakKb) / 1024);
        std::fflush(stdout);
        for (auto& a : agents) {
            mosquitto_disconnect(a->client);
            mosquitto_loop_stop(a->client, false);
            mosquitto_destroy(a->client);
        }
        kill(hq, SIGTERM);
        waitpid(hq, nullptr, 0);
        kill(mq, SIGTERM);
        waitpid(mq, nullptr, 0);
        std::filesystem::remove_all(work);
    }
    mosquitto_lib_cleanup();
    return 0;
}
