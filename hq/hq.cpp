#include "hq/hq.h"

#include <httplib.h>
#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/price_list.h"
#include "chain/topics.h"
#include "device/amount.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "hq/api.h"
#include "hq/config.h"
#include "hq/hq_store.h"
#include "hq/intake.h"
#include "hq/register.h"
#include "hq/views.h"
#include "http/embedded_files.h"
#include "http/guard.h"
#include "http/host.h"
#include "http/moments.h"
#include "http/server.h"
#include "jobs/scan.h"

namespace velko::hq {

using nlohmann::ordered_json;

int runHq(const HqOptions& options) {
    http::prepareStop();
    http::privateFiles();
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    std::unique_ptr<HqStore> store;
    try {
        store = openStore(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    Reader reader(*store, config.maxMessage);
    mosquitto* client = nullptr;
    try {
        // A session the broker keeps: day reports that come while head office is away wait.
        client = chain::makeMqttClient(config.broker, config.clientId, false, &reader);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
    mosquitto_connect_callback_set(client, onConnect);
    mosquitto_disconnect_callback_set(client, onDisconnect);
    mosquitto_message_callback_set(client, onMessage);
    reader.client = client;
    auto loop = std::make_unique<chain::MqttLoop>(client, config.broker);
    reader.loop = loop.get();
    loop->start();
    const auto stopBroker = [&] {
        loop.reset();
        reader.client = nullptr;
        mosquitto_destroy(client);
    };

    HqApi api(*store, config, [&] {
        ReadingHealth h;
        h.connected = reader.connected;
        h.problem = h.connected ? "" : loop->problem();
        h.waiting = reader.waiting();
        h.refused = reader.refused();
        h.lastRefused = reader.lastRefused();
        return h;
    });
    const auto send = [](const ApiResponse& out, httplib::Response& res) {
        res.status = out.status;
        for (const auto& [name, value] : out.headers) res.set_header(name, value);
        res.set_content(out.body, out.contentType);
    };
    http::Server web(config.front.limits);
    // No request to head office has a body to read, and none is read: a request is refused by
    // its head, or answered, before the HTTP library would look for a body.
    web.set_payload_max_length(0);
    web.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        send(api.handle(http::requestOf(req)), res);
        return httplib::Server::HandlerResponse::Handled;
    });
    const int port = web.bindAlone(config.host, config.port);
    if (port < 0) {
        std::fprintf(stderr,
                     "velko hq: cannot listen on %s:%d: another program has the port, or the "
                     "address is not this machine's\n",
                     config.host.c_str(), config.port);
        stopBroker();
        return 2;
    }
    std::thread server([&] { web.listen_after_bind(); });
    std::printf("velko hq: listening on http://%s:%d/\n", config.host.c_str(), port);
    std::fflush(stdout);
    http::waitForStop();
    web.stopServing();
    server.join();
    stopBroker();
    return 0;
}

}  // namespace velko::hq
