#include "serve/run.h"

#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>

#include "http/guard.h"
#include "http/host.h"
#include "http/server.h"
#include "serve/api.h"
#ifdef VELKO_WITH_SIMULATE
#include "serve/simulated_devices.h"
#endif

namespace velko::serve {
namespace {

// Every listener to the events holds one of the server's threads while it listens: so many
// at most, and so many for one token, that the API always has threads left to answer.
class EventStreams {
  public:
    static constexpr int kTotal = 64, kPerToken = 8;
    bool take(const std::string& token) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (total_ >= kTotal || byToken_[token] >= kPerToken) return false;
        ++total_;
        ++byToken_[token];
        return true;
    }
    void give(const std::string& token) {
        std::lock_guard<std::mutex> lock(mutex_);
        --total_;
        --byToken_[token];
    }

  private:
    std::mutex mutex_;
    int total_ = 0;
    std::map<std::string, int> byToken_;
};

// Streams the events after `after` to one listener until it goes or the service stops; a
// comment every 15 s keeps proxies from closing a quiet stream. `done` runs when it ends.
void streamEvents(httplib::Response& res, EventHub& hub, uint64_t after,
                  std::function<void()> done) {
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&hub, after](size_t, httplib::DataSink& sink) mutable {
            std::string text;
            for (const Event& e : hub.after(after, std::chrono::seconds(15))) {
                text += "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data +
                        "\n\n";
                after = e.id;
            }
            if (hub.closed()) {
                sink.done();
                return false;
            }
            if (text.empty()) text = ": still here\n\n";
            return sink.write(text.data(), text.size());
        },
        [done](bool) { done(); });
}

// Requests and event streams served at once.
constexpr size_t kThreads = 512;

Config configFrom(const ServeOptions& options, std::vector<std::string>& faults,
                  std::shared_ptr<void>& simulated, std::string& simToken) {
    Config config;
    if (options.simulate > 0) {
#ifndef VELKO_WITH_SIMULATE
        faults.push_back("--simulate runs on Linux; here, give --config with the devices");
        (void)simulated;
        (void)simToken;
        return config;
#else
        auto devices = std::make_shared<SimulatedDevices>(options.simulate, 9600);
        for (size_t i = 0; i < devices->paths().size(); ++i) {
            DeviceConfig d;
            d.name = "sim-" + std::to_string(i + 1);
            d.line = devices->paths()[i];
            d.group = "sim";
            config.devices.push_back(d);
        }
        simulated = devices;
        // A trial on one's own machine, where load tools run too: one address may use every
        // connection the service has.
        config.front.limits.perAddress = kThreads;
        simToken = http::newSecret();
        config.tokens.push_back({"simulation", simToken, Role::Operate});
        if (options.data.empty()) {
            config.data = http::freshDirectory("velko-serve-");
            if (config.data.empty()) {
                faults.push_back("cannot make a data directory in the temporary directory");
                return config;
            }
        }
#endif
    } else {
        std::ifstream in(options.config, std::ios::binary);
        if (!in) {
            faults.push_back(options.config + ": cannot be read");
            return config;
        }
        std::ostringstream text;
        text << in.rdbuf();
        config = parseConfig(text.str(), options.config, faults);
    }
    if (!options.data.empty()) config.data = options.data;
    if (!options.listen.empty() && !http::parseListen(options.listen, config.host, config.port))
        faults.push_back("--listen must be HOST:PORT, not '" + options.listen + "'");
    if (config.tokens.empty())
        faults.push_back(options.config + ": no [[token]] is configured: nobody could call it");
    return config;
}

}  // namespace

int runServe(const ServeOptions& options) {
    http::prepareStop();
    http::privateFiles();
    std::vector<std::string> faults;
    std::shared_ptr<void> simulated;  // the simulated devices, when there are
    std::string simToken;
    Config config;
    try {
        config = configFrom(options, faults, simulated, simToken);
    } catch (const std::exception& e) {
        faults.push_back(e.what());
    }
    if (!faults.empty()) {
        for (const std::string& f : faults)
            std::fprintf(http::errors(), "velko serve: %s\n", f.c_str());
        std::fprintf(http::errors(), "velko serve: not started\n");
        return 2;
    }
    std::unique_ptr<Service> service;
    try {
        service = std::make_unique<Service>(config);
    } catch (const std::exception& e) {
        std::fprintf(http::errors(), "velko serve: %s\n", e.what());
        return 1;
    }
    Api api(*service, options.webRoot);

    // Every listener to the events holds a (sleeping) thread for as long as it listens: the
    // pool has room for all the streams allowed and the requests beside them.
    http::ConnectionLimits limits = config.front.limits;
    limits.threads = kThreads;
    http::Server web(limits);
    if (!config.tlsCert.empty()) {
        const std::string fault = web.useTls(config.tlsCert, config.tlsKey);
        if (!fault.empty()) {
            std::fprintf(http::errors(), "velko serve: %s\nvelko serve: not started\n",
                         fault.c_str());
            return 2;
        }
    }
    web.set_payload_max_length(config.maxBody);
    EventStreams streams;
    const auto send = [&](const ApiResponse& out, httplib::Response& res) {
        if (!out.events) return http::writeResponse(out, res);
        res.status = out.status;
        for (const auto& [name, value] : out.headers) res.set_header(name, value);
        if (!streams.take(out.eventsFor)) {
            res.status = 429;
            res.set_header("Retry-After", "30");
            res.set_content("{\"error\": \"too many event streams are open (" +
                                std::to_string(EventStreams::kTotal) + " in all, " +
                                std::to_string(EventStreams::kPerToken) + " for one token)\"}\n",
                            "application/json");
        } else {
            const std::string token = out.eventsFor;
            streamEvents(res, service->events(), out.eventsAfter,
                         [&streams, token] { streams.give(token); });
        }
    };
    // Every request goes to the API, which does its own routing.
    const auto handle = [&](const httplib::Request& req, httplib::Response& res) {
        send(api.handle(http::requestOf(req)), res);
    };
    // What the HTTP library refuses by itself gets a reason too.
    const size_t maxBody = config.maxBody;
    web.set_error_handler([maxBody](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        for (const auto& header : http::securityHeaders())
            res.set_header(header.first, header.second);
        std::string why = "the request is not understood";
        if (http::Server::requestTooSlow()) {
            res.status = 408;
            why =
                "the request did not arrive in time: its headers within 10 s, its body at "
                "16 KiB/s, and no pause of 5 s";
        } else if (res.status == 413) {
            why = "the body is over " + std::to_string(maxBody) + " bytes (max_body)";
        } else if (res.status == 400) {
            why =
                "the request is malformed; a POST without a body needs 'Content-Length: 0' "
                "(with curl, add -d '')";
        }
        res.set_content("{\"error\": \"" + why + "\"}\n", "application/json");
    });
    // Runs before the HTTP library reads a body: a request that its Host, path, token or
    // query refuse is answered without its body ever being read.
    // A request without Content-Length or Transfer-Encoding has no body; the HTTP library
    // would refuse such a POST, so it is answered before the library looks for one, as any
    // request without a body is. One with a body is checked before it is read, and answered
    // once it has been.
    // The HTTP library holds bodies to max_body by their Content-Length alone: a chunked or
    // compressed body could grow without bound, so neither is taken.
    web.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        const auto refuse = [&](int status, const char* why) {
            res.status = status;
            res.set_content(std::string("{\"error\": \"") + why + "\"}\n", "application/json");
            return httplib::Server::HandlerResponse::Handled;
        };
        const bool body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
        // Without a body, the request is whole: answered here, checked once.
        if (!body && !req.has_header("Content-Encoding")) {
            handle(req, res);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (auto refused = api.refusal(http::requestOf(req))) {
            send(*refused, res);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.has_header("Transfer-Encoding"))
            return refuse(411, "send the body with a Content-Length, not in chunks");
        if (req.has_header("Content-Encoding")) return refuse(415, "send the body uncompressed");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    web.Get(".*", handle).Post(".*", handle).Delete(".*", handle).Put(".*", handle);
    web.Patch(".*", handle).Options(".*", handle);
    const int port = web.bindAlone(config.host, config.port);
    if (port < 0) {
        std::fprintf(http::errors(),
                     "velko serve: cannot listen on %s:%d: another program has the port, or the "
                     "address is not this machine's\n",
                     config.host.c_str(), config.port);
        return 2;
    }
    try {
        service->start();
    } catch (const std::exception& e) {
        std::fprintf(http::errors(), "velko serve: %s\n", e.what());
        return 1;
    }
    std::thread server([&] { web.listen_after_bind(); });
    std::fprintf(http::news(), "velko serve: listening on %s://%s:%d/\n",
                 web.tls() ? "https" : "http", config.host.c_str(), port);
    if (simulated) {
        std::fprintf(http::news(),
                     "velko serve: %zu simulated devices (group \"sim\"), data in %s\n",
                     config.devices.size(), config.data.c_str());
        std::fprintf(http::news(), "velko serve: token (operate): %s\n", simToken.c_str());
    }
    std::fflush(http::news());

    http::waitForStop();
    std::fprintf(http::errors(), "velko serve: stopping; a running job ends after its article\n");
    service->events().close();
    web.stopServing();
    server.join();
    service->stop();
    return 0;
}

}  // namespace velko::serve
