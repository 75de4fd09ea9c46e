#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include "chain/broker.h"
#include "http/host.h"

namespace velko::chain {
namespace {

// The loops by their client, for the library's log callback, whose argument is the owner's.
std::mutex loopsMutex;
std::map<mosquitto*, MqttLoop*> loops;

}  // namespace

mosquitto* makeMqttClient(const BrokerConfig& config, const std::string& id, bool clean,
                          void* self) {
    static std::once_flag library;
    std::call_once(library, [] { mosquitto_lib_init(); });
    // The library says only "Invalid function arguments" of a file it cannot read.
    for (const auto& [file, what] : {std::make_pair(config.caFile, "the broker's CA"),
                                     std::make_pair(config.certFile, "the client certificate"),
                                     std::make_pair(config.keyFile, "the client key")}) {
        if (config.tls && !file.empty() && !std::ifstream(file))
            throw std::runtime_error(std::string("TLS: ") + what + " file " + file +
                                     " cannot be read");
    }
    mosquitto* client = mosquitto_new(id.c_str(), clean, self);
    if (!client) throw std::runtime_error("the MQTT client could not be made");
    const auto check = [&](int rc, const char* what) {
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client);
            throw std::runtime_error(std::string("MQTT: ") + what + ": " + mosquitto_strerror(rc));
        }
    };
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!config.username.empty()) {
        check(
            mosquitto_username_pw_set(client, config.username.c_str(),
                                      config.password.empty() ? nullptr : config.password.c_str()),
            "user and password");
    }
    if (config.tls) {
        check(config.caFile.empty()
                  ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                  : mosquitto_tls_set(client, config.caFile.c_str(), nullptr,
                                      config.certFile.empty() ? nullptr : config.certFile.c_str(),
                                      config.keyFile.empty() ? nullptr : config.keyFile.c_str(),
                                      nullptr),
              "TLS");
    }
    // Calm retries while the broker is away: from a second, doubling, up to half a minute.
    mosquitto_reconnect_delay_set(client, 1, 30, true);
    return client;
}

MqttLoop::MqttLoop(mosquitto* client, const BrokerConfig& config)
    : client_(client), config_(config) {
    {
        std::lock_guard<std::mutex> lock(loopsMutex);
        loops[client] = this;
    }
    mosquitto_log_callback_set(client, onLog);
}

void MqttLoop::start() {
    thread_ = std::thread([this] { run(); });
}

MqttLoop::~MqttLoop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    mosquitto_disconnect(client_);
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(loopsMutex);
    loops.erase(client_);
}

std::string MqttLoop::problem() {
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

void MqttLoop::connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    problem_.clear();
}

void MqttLoop::onLog(mosquitto* client, void*, int level, const char* text) {
    if (!(level & MOSQ_LOG_ERR)) return;
    std::lock_guard<std::mutex> lock(loopsMutex);
    const auto it = loops.find(client);
    if (it == loops.end()) return;
    MqttLoop& loop = *it->second;
    std::lock_guard<std::mutex> inner(loop.mutex_);
    loop.problem_ = text;
    // Said once in the log, not at every try: a journal full of one line hides the rest.
    if (loop.logged_ != loop.problem_)
        std::fprintf(http::errors(), "MQTT %s:%d: %s\n", loop.config_.host.c_str(),
                     loop.config_.port, text);
    loop.logged_ = loop.problem_;
}

void MqttLoop::run() {
    using Clock = std::chrono::steady_clock;
    bool first = true;
    int delay = 1;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const auto began = Clock::now();
        int rc = first ? mosquitto_connect_async(client_, config_.host.c_str(), config_.port, 30)
                       : mosquitto_reconnect_async(client_);
        first = false;
        // The library's loop reconnects by itself after most errors, and returns after the
        // ones it takes for fatal: those are met here.
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_forever(client_, 1000, 1);
        lock.lock();
        if (stopping_) break;
        if (problem_.empty())
            problem_ =
                rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        if (Clock::now() - began > std::chrono::minutes(1)) delay = 1;
        wake_.wait_for(lock, std::chrono::seconds(delay), [&] { return stopping_; });
        delay = std::min(delay * 2, 30);
    }
}

}  // namespace velko::chain
