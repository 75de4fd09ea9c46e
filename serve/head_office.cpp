#include "serve/head_office.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/price_list.h"
#include "chain/topics.h"
#include "device/amount.h"
#include "device/article_rules.h"
#include "files/article_file.h"
#include "files/validate.h"
#include "jobs/outcome.h"
#include "serve/prices.h"
#include "serve/service.h"
#include "serve/views.h"

namespace velko::serve {
namespace {

using nlohmann::ordered_json;

// Articles as JSON objects by code number, to apply changes to.
std::map<uint64_t, ordered_json> byCode(const ordered_json& articles) {
    std::map<uint64_t, ordered_json> out;
    for (const auto& a : articles) {
        const auto& code = a.contains("code") ? a["code"] : a;
        const std::string text = code.is_string() ? code.get<std::string>() : http::safeDump(code);
        out[codeNumber(text)] = a;
    }
    return out;
}

}  // namespace

HeadOffice::HeadOffice(const HeadOfficeConfig& config, Service& service)
    : config_(config),
      service_(service),
      store_(service.store()),
      started_(http::utcText(std::time(nullptr))) {
    // A session of its own that the broker keeps across reconnections: what it acknowledged
    // is acknowledged once.
    client_ = chain::makeMqttClient(config, "velko-store-" + config.store, false, this);
    const auto check = [&](int rc, const char* what) {
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            throw std::runtime_error(std::string("head office: ") + what + ": " +
                                     mosquitto_strerror(rc));
        }
    };
    // The last will is made once, for every connection of this run: it cannot know when the
    // shop goes, so it leaves that to the last status head office heard from it.
    const std::string will = chain::statusTopic(config.store);
    const std::string offline = statusMessage("offline", "");
    check(mosquitto_will_set(client_, will.c_str(), int(offline.size()), offline.data(), 1, true),
          "the last will");
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_message_callback_set(client_, onMessage);
    applier_ = std::thread([this] { applyLoop(); });
    resender_ = std::thread([this] { resendLoop(); });
    loop_ = std::make_unique<chain::MqttLoop>(client_, config);
    loop_->start();
}

HeadOffice::~HeadOffice() {
    // Leaving as planned says so; the last will is for leaving otherwise.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_) {
            const std::string topic = chain::statusTopic(config_.store);
            const std::string offline = statusMessage("offline", http::utcText(std::time(nullptr)));
            mosquitto_publish(client_, nullptr, topic.c_str(), int(offline.size()), offline.data(),
                              1, true);
        }
    }
    loop_.reset();  // disconnects
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    arrival_.notify_all();
    applier_.join();
    resender_.join();
    mosquitto_destroy(client_);
}

void HeadOffice::applyLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        arrival_.wait(lock, [&] { return stopping_ || !arrived_.empty(); });
        if (stopping_) return;
        // A second without a new version: the burst of a reconnection is over.
        const auto settled = lastArrival_ + std::chrono::seconds(1);
        if (std::chrono::steady_clock::now() < settled) {
            arrival_.wait_until(lock, settled, [&] { return stopping_; });
            continue;
        }
        auto lists = std::move(arrived_);
        arrived_.clear();
        lock.unlock();
        for (const auto& [device, list] : lists) {
            try {
                desiredPriceList(device, list.second);
            } catch (const std::exception& e) {
                std::fprintf(http::errors(), "velko serve: head office's price list for %s: %s\n",
                             device.c_str(), e.what());
            }
        }
        lock.lock();
    }
}

// Days without a receipt are looked at every half minute (or resend_seconds, when shorter),
// and sent again when their time comes. The shop's presence is said again every minute, so
// that head office knows when it was last heard from should it go without a word.
void HeadOffice::resendLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto every = std::chrono::seconds(std::min(30, config_.resendSeconds));
    while (!arrival_.wait_for(lock, every, [&] { return stopping_; })) {
        if (connected_ &&
            std::chrono::steady_clock::now() - lastStatus_ >= std::chrono::seconds(55)) {
            lastStatus_ = std::chrono::steady_clock::now();
            const std::string online = statusMessage("online", connectedAt_);
            lock.unlock();
            publish(chain::statusTopic(config_.store), online, true);
        } else {
            lock.unlock();
        }
        send();
        lock.lock();
    }
}

// The shop's presence as head office reads it: online or offline since when (the shop's
// clock; empty in the last will), the devices it serves, and the message's place in its run.
// (Callers hold mutex_, or come before the threads.)
std::string HeadOffice::statusMessage(const char* state, const std::string& since) {
    ordered_json devices = ordered_json::array();
    for (const DeviceConfig& d : service_.config().devices) devices.push_back(d.name);
    const bool will = since.empty();
    return http::safeDump(ordered_json{{"state", state},
                                       {"since", since},
                                       {"at", will ? started_ : http::utcText(std::time(nullptr))},
                                       {"started", started_},
                                       {"seq", will ? 0 : ++statusSeq_},
                                       {"devices", devices}});
}

void HeadOffice::onConnect(mosquitto* client, void* self, int rc) {
    auto& office = *static_cast<HeadOffice*>(self);
    std::string online;
    {
        std::lock_guard<std::mutex> lock(office.mutex_);
        office.connected_ = rc == 0;
        const std::string refused = rc == 0 ? "" : mosquitto_connack_string(rc);
        if (!refused.empty() && refused != office.problem_)
            std::fprintf(http::errors(),
                         "velko serve: head office's broker refused this shop: %s (check "
                         "[head_office] username and password, and the broker's password file)\n",
                         refused.c_str());
        office.problem_ = refused;
        // A new connection sends every day without a receipt at once.
        office.sent_.clear();
        office.connectedAt_ = http::utcText(std::time(nullptr));
        office.lastStatus_ = std::chrono::steady_clock::now();
        online = office.statusMessage("online", office.connectedAt_);
    }
    office.loop_->connected();  // the broker answered: the errors before are over
    if (rc != 0) return;
    const std::string topic = chain::statusTopic(office.config_.store);
    mosquitto_publish(client, nullptr, topic.c_str(), int(online.size()), online.data(), 1, true);
    // The desired price lists are retained: each device's latest comes at once, and only it.
    for (const std::string& filter : chain::shopFilters(office.config_.store))
        mosquitto_subscribe(client, nullptr, filter.c_str(), 1);
    office.send();
}

void HeadOffice::onDisconnect(mosquitto*, void* self, int rc) {
    auto& office = *static_cast<HeadOffice*>(self);
    std::lock_guard<std::mutex> lock(office.mutex_);
    office.connected_ = false;
    // A refusal said why already (not authorised, say); that stays the reason.
    if (office.problem_.empty())
        office.problem_ = rc == 0 ? "disconnected" : "the connection to the broker was lost";
}

// Head office's word on a day: stored (at a version), or refused with the reason. Either way
// the day is not sent again; a refusal is said, as it is the shop's to look into.
void HeadOffice::receipt(const std::string& device, const std::string& businessDay,
                         const std::string& payload) {
    std::string why;
    const ordered_json doc = chain::readMessage(payload, why).value_or(ordered_json());
    if (!doc.is_object() || !doc.contains("version") || !doc["version"].is_number_integer())
        throw std::runtime_error("not a receipt: " + (why.empty() ? "no version" : why));
    const int64_t version = doc["version"];
    const std::string state = doc.value("state", "");
    if (state == "refused") {
        const std::string reason = device + " " + businessDay + " (version " +
                                   std::to_string(version) +
                                   "): " + doc.value("reason", std::string("no reason given"));
        std::fprintf(http::errors(), "velko serve: head office refused the day report of %s\n",
                     reason.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        refused_ = reason;
    } else if (state != "stored") {
        throw std::runtime_error("a receipt neither 'stored' nor 'refused'");
    }
    store_.receipted(device, businessDay, version);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sent_.find({device, businessDay});
    if (it != sent_.end() && it->second.version <= version) sent_.erase(it);
}

std::string HeadOffice::dayReport(const OutboxEntry& entry) {
    const auto reports = store_.dayReports(entry.device, entry.businessDay);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    int64_t quantity = 0, value = 0;
    for (const ReportRecord& r : reports) {
        list.push_back(reportJson(r));
        quantity += r.quantity;
        value += r.value;
    }
    nlohmann::ordered_json doc = {
        {"store", config_.store},
        {"device", entry.device},
        {"business_day", entry.businessDay},
        {"version", entry.version},
        {"reports", list},
        {"quantity", formatAmount(quantity, 3)},
        {"value", formatAmount(value, 2)},
        {"rows", articlesJson(store_.dayRows(entry.device, entry.businessDay))}};
    return http::safeDump(doc);
}

void HeadOffice::send() {
    std::vector<OutboxEntry> waiting;
    try {
        waiting = store_.outbox();
    } catch (const StoreError&) {
        return;  // tried again at the next day closed or connection
    }
    for (const OutboxEntry& entry : waiting) {
        std::string payload;
        try {
            payload = dayReport(entry);
        } catch (const StoreError&) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        const auto now = std::chrono::steady_clock::now();
        Sent& sent = sent_[{entry.device, entry.businessDay}];
        if (sent.version == entry.version && now < sent.again) continue;
        if (sent.version != entry.version) sent = Sent{entry.version, now, 0};
        const std::string topic =
            chain::dayReportTopic(config_.store, entry.device, entry.businessDay);
        if (mosquitto_publish(client_, nullptr, topic.c_str(), int(payload.size()), payload.data(),
                              1, false) != MOSQ_ERR_SUCCESS)
            continue;
        sent.again = now + std::chrono::seconds(config_.resendSeconds) *
                               std::min(30, 1 << std::min(sent.times, 5));
        ++sent.times;
    }
}

void HeadOffice::publish(const std::string& topic, const std::string& payload, bool retain) {
    mosquitto_publish(client_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1,
                      retain);
}

void HeadOffice::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& office = *static_cast<HeadOffice*>(self);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              size_t(message->payloadlen));
    const chain::Topic t = chain::readTopic(topic);
    if (t.store != office.config_.store || payload.empty()) return;
    try {
        if (t.kind == chain::TopicKind::Command) {
            office.command(t.key, payload);
        } else if (t.kind == chain::TopicKind::Promotion) {
            office.promotion(t.device, t.key, payload);
        } else if (t.kind == chain::TopicKind::Receipt) {
            office.receipt(t.device, t.key, payload);
        } else if (t.kind == chain::TopicKind::Desired) {
            const std::string& device = t.device;
            std::string why;
            const auto doc = chain::readMessage(payload, why);
            if (!doc) throw std::runtime_error(why);
            const int64_t version = doc->is_object() ? doc->value("version", int64_t(0)) : 0;
            std::lock_guard<std::mutex> lock(office.mutex_);
            auto& latest = office.arrived_[device];
            if (latest.second.empty() || version >= latest.first) latest = {version, payload};
            office.lastArrival_ = std::chrono::steady_clock::now();
            office.arrival_.notify_all();
        }
    } catch (const std::exception& e) {
        std::fprintf(http::errors(), "velko serve: head office's %s: %s\n", topic.c_str(),
                     e.what());
    }
}

void HeadOffice::reportPriceList(const std::string& device, ordered_json reported) {
    publish(chain::reportedTopic(config_.store, device), http::safeDump(reported), true);
}

// A desired price list newer than the one applied is applied with a verified sync; an older or
// repeated one changes nothing. A list of changes applies to the version it names, which must
// be the one applied.
void HeadOffice::desiredPriceList(const std::string& device, const std::string& payload) {
    const DeviceConfig* target = service_.device(device);
    std::string why;
    const ordered_json doc = chain::readMessage(payload, why).value_or(ordered_json());
    const auto refuse = [&](int64_t version, const std::string& why) {
        reportPriceList(device, {{"version", version}, {"state", "refused"}, {"detail", why}});
    };
    if (!target) return;  // a device this shop does not have: nothing to report it on
    if (!doc.is_object() || !doc.contains("version") || !doc["version"].is_number_integer())
        return refuse(0, "the message is not a price list with a version");
    const int64_t version = doc["version"];
    const auto applied = store_.appliedPriceList(device);
    if (applied && version <= applied->version) return;
    ordered_json articles;
    if (doc.contains("articles") && doc["articles"].is_array()) {
        articles = doc["articles"];
    } else if (doc.contains("changes") && doc["changes"].is_object()) {
        const int64_t base = doc.value("base", int64_t(-1));
        if (!applied || base != applied->version) {
            return refuse(version, "changes from version " + std::to_string(base) +
                                       ", but version " +
                                       std::to_string(applied ? applied->version : 0) +
                                       " is applied: the whole list is needed");
        }
        auto list = byCode(ordered_json::parse(applied->articles));
        const ordered_json& changes = doc["changes"];
        if (changes.contains("delete") && changes["delete"].is_array()) {
            for (const auto& [code, a] : byCode(changes["delete"])) list.erase(code);
        }
        if (changes.contains("put") && changes["put"].is_array()) {
            for (const auto& [code, a] : byCode(changes["put"])) list[code] = a;
        }
        articles = ordered_json::array();
        for (auto& [code, a] : list) articles.push_back(a);
    } else {
        return refuse(version, "neither 'articles' nor 'changes'");
    }
    JobInput input;
    input.kind = "sync";
    input.by = "head-office";
    input.verify = true;
    std::vector<files::Fault> faults;
    files::loadArticleText("price list " + std::to_string(version), files::Format::Json,
                           http::safeDump(articles), files::RowUse::Upload, *files::makeTextCodec(),
                           input.articles, faults);
    if (!faults.empty()) {
        std::string why;
        for (const auto& f : faults) why += (why.empty() ? "" : "; ") + files::describe(f);
        return refuse(version, why);
    }
    const std::string checksum = chain::priceListChecksum(input.articles);
    if (doc.contains("checksum") && doc["checksum"] != checksum) {
        return refuse(version, "the list comes to checksum " + checksum + ", not " +
                                   http::safeDump(doc["checksum"]));
    }
    // Once per version: a delivery again finds the job made before, unless that one failed.
    for (int attempt = 1; attempt <= 20; ++attempt) {
        const std::string key = "pricelist:" + device + ":" + std::to_string(version) +
                                (attempt > 1 ? ":" + std::to_string(attempt) : "");
        bool existing = false;
        const JobRecord job =
            service_.submit({target}, input, key, "head_office", existing).front();
        if (existing &&
            (job.state == "failed" || job.state == "interrupted" || job.state == "cancelled"))
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            applying_[job.id] = {device, {version, checksum, http::safeDump(articles)}};
        }
        // A job that ended already (before it was noted here, or a delivery again after it)
        // is reported now.
        jobEnded(job);
        return;
    }
}

// A chain promotion for one of this shop's devices, kept (once) as a promotion of the
// service's own: it starts and ends at its times by this shop's clock, also when the shop
// hears of it late, as long as it is not over.
void HeadOffice::promotion(const std::string& device, const std::string& id,
                           const std::string& payload) {
    if (!service_.device(device) || !http::goodName(id)) return;
    PromotionFilter its;
    its.source = "head-office:" + id;
    its.articles = false;
    const std::string& source = its.source;
    for (const PromotionRecord& p : store_.promotions(its)) {
        if (!p.devices.empty() && p.devices[0].name == device)
            return promotionChanged(source);  // heard again: nothing new
    }
    std::string why;
    const ordered_json doc = chain::readMessage(payload, why).value_or(ordered_json());
    const auto moment = [&](const char* key) {
        return doc.is_object() && doc.contains(key) && doc[key].is_string()
                   ? parseMoment(doc[key].get<std::string>())
                   : std::nullopt;
    };
    const auto starts = moment("starts_at"), ends = moment("ends_at");
    PromotionRecord p;
    std::vector<files::Fault> faults;
    if (!starts || !ends || *ends <= *starts) {
        why = "no starts_at before an ends_at, RFC 3339 with their offsets";
    } else if (!doc.contains("articles") || !doc["articles"].is_array()) {
        why = "no articles";
    } else {
        files::loadArticleText("promotion " + id, files::Format::Json,
                               http::safeDump(doc["articles"]), files::RowUse::Upload,
                               *files::makeTextCodec(), p.articles, faults);
        for (const auto& f : faults) why += (why.empty() ? "" : "; ") + files::describe(f);
    }
    if (why.empty()) {
        p.startsAt = utcText(*starts);
        p.endsAt = utcText(*ends);
        p.created = utcText(std::time(nullptr));
        p.by = "head-office";
        p.source = source;
        p.devices.push_back({device, 0, 0, ""});
        try {
            service_.promotions().add(std::move(p));
            service_.scheduleSoon();
        } catch (const PromotionConflict& e) {
            why = e.what();
        }
    }
    if (!why.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        refusedPromotions_[{source, device}] = why;
    }
    promotionChanged(source);
}

// How the chain promotion stands on each of this shop's devices, as one answer under
// result/promotion-ID: its state, its start's and end's jobs, and what the end left.
void HeadOffice::promotionChanged(const std::string& source) {
    const std::string id = source.substr(source.find(':') + 1);
    ordered_json devices = ordered_json::array();
    const auto jobState = [&](int64_t job) {
        const auto j = job ? store_.job(job) : std::nullopt;
        return j ? ordered_json(j->state) : ordered_json(nullptr);
    };
    PromotionFilter its;
    its.source = source;
    its.articles = false;
    for (const PromotionRecord& p : store_.promotions(its)) {
        for (const auto& d : p.devices)
            devices.push_back({{"device", d.name},
                               {"state", p.state},
                               {"start", jobState(d.startJob)},
                               {"end", jobState(d.endJob)},
                               {"note", d.note}});
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, why] : refusedPromotions_) {
            if (key.first == source)
                devices.push_back({{"device", key.second},
                                   {"state", "refused"},
                                   {"start", nullptr},
                                   {"end", nullptr},
                                   {"note", why}});
        }
    }
    publish(chain::resultTopic(config_.store, chain::promotionResultId(id)),
            http::safeDump({{"promotion", id}, {"devices", devices}}), true);
}

void HeadOffice::command(const std::string& id, const std::string& payload) {
    std::string why;
    const ordered_json doc = chain::readMessage(payload, why).value_or(ordered_json());
    const auto text = [&](const char* key) {
        return doc.is_object() && doc.contains(key) && doc[key].is_string()
                   ? doc[key].get<std::string>()
                   : std::string();
    };
    const std::string kind = text("command");
    std::vector<std::string> names = {"all"};
    if (doc.is_object() && doc.contains("devices") && doc["devices"].is_array()) {
        names.clear();
        for (const auto& n : doc["devices"]) {
            if (n.is_string()) names.push_back(n);
        }
    }
    std::string unknown, problem;
    const auto devices = devicesNamed(service_.config(), names, &unknown);
    JobInput input;
    input.kind = kind;
    input.by = "head-office";
    const std::time_t now = std::time(nullptr);
    const std::string expires = text("expires"), day = text("business_day");
    const bool late = expires.size() == 20 && expires[10] == 'T' && expires[19] == 'Z' &&
                      http::utcText(now) > expires;  // the form orders as the time does
    if (late || (kind == "close-day" && !day.empty() && day != service_.businessDay(now))) {
        const std::string why =
            late ? "the command expired at " + expires + " before it came: not run"
                 : "the command meant business day " + day + ", and this shop is in " +
                       service_.businessDay(now) + ": not run";
        publish(chain::resultTopic(config_.store, id),
                http::safeDump(ordered_json{{"id", id}, {"state", "expired"}, {"error", why}}),
                false);
        return;
    }
    if (kind == "resend" && unknown.empty()) return resend(id, devices, day);
    if (kind != "close-day" && kind != "download" && kind != "scan" && kind != "resend")
        problem = "the command must be close-day, download, scan or resend";
    else if (!unknown.empty())
        problem = "no device or group '" + unknown + "'";
    else if (devices.empty())
        problem = "this shop has no devices";
    else if (kind == "scan" && doc.contains("numbers") && !doc["numbers"].is_string())
        problem = "'numbers' must be text, as \"0-99\" or \"1,5,7\"";
    else if (kind == "scan")
        scanNumbers(text("numbers"), input.numbers, problem);
    if (!problem.empty()) {
        publish(chain::resultTopic(config_.store, id),
                http::safeDump(ordered_json{{"id", id}, {"error", problem}}), false);
        return;
    }
    bool existing = false;
    // Once per id: a command delivered again is answered from the job log.
    const auto jobs = service_.submit(devices, input, "command:" + id, "head_office", existing);
    std::vector<int64_t> ids;
    for (const JobRecord& j : jobs) ids.push_back(j.id);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_[id] = ids;
    }
    // Jobs that ended already (a command delivered again) are answered now.
    (void)existing;
    for (const JobRecord& j : jobs) jobEnded(j);
}

// Head office asks for a day again (it lost it, or was restored from a backup): the day goes
// into the outbox again, from this shop's own job log, and out as any day does.
void HeadOffice::resend(const std::string& id, const std::vector<const DeviceConfig*>& devices,
                        const std::string& day) {
    ordered_json resent = ordered_json::array(), missing = ordered_json::array();
    for (const DeviceConfig* d : devices)
        (store_.queueDayAgain(d->name, day) ? resent : missing).push_back(d->name);
    ordered_json answer = {{"id", id}, {"business_day", day}, {"resent", resent}};
    if (resent.empty())
        answer["error"] = "no device of this shop has a report of business day '" + day + "'";
    else if (!missing.empty())
        answer["without_report"] = missing;
    publish(chain::resultTopic(config_.store, id), http::safeDump(answer), false);
    send();
}

void HeadOffice::answer(const std::string& id, const std::vector<int64_t>& jobs) {
    ordered_json list = ordered_json::array();
    for (int64_t jobId : jobs) {
        const auto job = store_.job(jobId);
        if (!job) continue;
        ordered_json j = jobJson(*job);
        if (const auto result = store_.result(jobId)) j["result"] = ordered_json::parse(*result);
        list.push_back(j);
    }
    publish(chain::resultTopic(config_.store, id),
            http::safeDump(ordered_json{{"id", id}, {"jobs", list}}), false);
}

void HeadOffice::jobEnded(const JobRecord& ended) {
    const auto job = store_.job(ended.id);  // as the log has it now
    if (!job || !job->ended) return;
    Applying applying;
    bool isPriceList = false;
    std::vector<std::pair<std::string, std::vector<int64_t>>> answers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = applying_.find(job->id);
        if (it != applying_.end()) {
            applying = it->second;
            isPriceList = true;
            applying_.erase(it);
        }
        for (auto c = commands_.begin(); c != commands_.end();) {
            bool all = true;
            for (int64_t id : c->second) {
                const auto j = id == job->id ? job : store_.job(id);
                all = all && j && j->ended;
            }
            if (all && std::find(c->second.begin(), c->second.end(), job->id) != c->second.end()) {
                answers.emplace_back(c->first, c->second);
                c = commands_.erase(c);
            } else {
                ++c;
            }
        }
    }
    for (const auto& [id, jobs] : answers) answer(id, jobs);
    PromotionFilter chains;
    chains.articles = false;
    for (const PromotionRecord& p : store_.promotions(chains)) {
        const bool its = std::any_of(p.devices.begin(), p.devices.end(), [&](const auto& d) {
            return d.startJob == job->id || d.endJob == job->id;
        });
        if (its && !p.source.empty()) promotionChanged(p.source);
    }
    if (!isPriceList) return;
    const bool verified = job->state == "done";
    if (verified) store_.setAppliedPriceList(applying.device, applying.list);
    ordered_json reported = {{"version", applying.list.version},
                             {"checksum", applying.list.checksum},
                             {"state", verified                                    ? "verified"
                                       : job->exitStatus == jobs::OUTCOME_MISMATCH ? "differs"
                                                                                   : "failed"},
                             {"job", job->id},
                             {"counts", job->counts},
                             {"detail", job->detail}};
    if (const auto result = store_.result(job->id)) {
        const ordered_json doc = ordered_json::parse(*result);
        if (doc.contains("differences")) reported["differences"] = doc["differences"];
    }
    reportPriceList(applying.device, reported);
}

HeadOffice::Status HeadOffice::status() {
    Status s;
    s.broker = std::string(config_.tls ? "mqtts://" : "mqtt://") + config_.host + ":" +
               std::to_string(config_.port);
    s.store = config_.store;
    try {
        s.waiting = store_.outbox();
        s.outbox = s.waiting.size();
    } catch (const StoreError&) {
    }
    const std::string lastError = loop_->problem();
    std::lock_guard<std::mutex> lock(mutex_);
    s.connected = connected_;
    // The library's own words are the exact ones (a certificate it could not verify, say).
    s.problem = connected_ || lastError.empty() ? problem_ : lastError;
    s.refused = refused_;
    return s;
}

}  // namespace velko::serve
