#include "hq/hq.h"

#include <httplib.h>
#include <mosquitto.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "chain/broker.h"
#include "hq/api.h"
#include "hq/config.h"
#include "hq/hq_store.h"
#include "hq/intake.h"
#include "http/host.h"
#include "http/server.h"

namespace velko::hq {

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
    http::Server web(config.front.limits);
    // No request to head office has a body to read, and none is read: a request is refused by
    // its head, or answered, before the HTTP library would look for a body.
    web.set_payload_max_length(0);
    web.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        http::writeResponse(api.handle(http::requestOf(req)), res);
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
