
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "chain/broker.h"
#include "chain/messages.h"
#include "chain/topics.h"
#include "hq/broker_session.h"
#include "hq/config.h"
#include "hq/hq.h"
#include "hq/hq_store.h"
#include "hq/intake.h"
#include "hq/register.h"
#include "hq/views.h"
#include "http/guard.h"
#include "http/host.h"
#include "http/moments.h"
#include "jobs/scan.h"

namespace velko::hq {

using nlohmann::ordered_json;

namespace {

// A field of a shop's answer as text, whatever the shop put there.
std::string field(const ordered_json& j, const char* key) {
    if (!j.is_object() || !j.contains(key)) return "";
    const auto& v = j[key];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

ordered_json jobsOf(const ordered_json& answer) {
    return answer.contains("jobs") && answer["jobs"].is_array() ? answer["jobs"]
                                                                : ordered_json::array();
}

// Whether a shop ran the command and every job of it ended well.
bool answeredWell(const ordered_json& answer) {
    const auto jobs = jobsOf(answer);
    if (answer.contains("resent")) return !answer.contains("error");
    return !answer.contains("error") && !jobs.empty() &&
           std::all_of(jobs.begin(), jobs.end(),
                       [](const ordered_json& job) { return field(job, "state") == "done"; });
}

// One store's answer as lines for a person.
void describeAnswer(const std::string& shop, const ordered_json& answer) {
    if (answer.contains("error"))
        std::printf("%-20s %s\n", shop.c_str(), field(answer, "error").c_str());
    if (answer.contains("resent") && answer["resent"].is_array()) {
        for (const auto& device : answer["resent"])
            std::printf("%-20s %-12s %s sent again\n", shop.c_str(),
                        device.is_string() ? device.get<std::string>().c_str() : "",
                        field(answer, "business_day").c_str());
    }
    for (const auto& job : jobsOf(answer)) {
        const std::string detail = job.contains("outcome") ? field(job["outcome"], "detail") : "";
        std::printf("%-20s %-12s %-10s %s\n", shop.c_str(), field(job, "device").c_str(),
                    field(job, "state").c_str(), detail.c_str());
    }
}

}  // namespace

int sendCommand(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    std::vector<int> numbers;
    std::string problem;
    if (!options.numbers.empty() &&
        (options.command != "scan" || !jobs::parseDeviceList(options.numbers, numbers, problem))) {
        std::fprintf(stderr, "velko hq: --numbers%s\n",
                     problem.empty() ? " is for scan" : (": " + problem).c_str());
        return 2;
    }
    try {
        std::vector<std::string> stores;
        for (const std::string& shop : options.stores) {
            if (!http::goodName(shop)) {
                std::fprintf(stderr,
                             "velko hq: --store %s: a store's name is letters, digits, "
                             "'-' and '_'\n",
                             shop.c_str());
                return 2;
            }
            if (std::find(stores.begin(), stores.end(), shop) == stores.end())
                stores.push_back(shop);
        }
        auto store = openStore(config);
        if (stores.empty()) {
            for (const StoreState& s : store->stores()) stores.push_back(s.store);
        }
        if (stores.empty()) {
            std::fprintf(stderr,
                         "velko hq: no store to send to: none is known yet, and none was named "
                         "with --store\n");
            return 2;
        }
        const bool dated = options.command == "close-day" || options.command == "resend";
        if ((!options.day.empty() && (!dated || !plausibleDay(options.day, std::time(nullptr)))) ||
            (options.command == "resend" && options.day.empty())) {
            std::fprintf(stderr,
                         "velko hq: --day names a business day (YYYY-MM-DD) of the last 400, for "
                         "close-day and (required) resend\n");
            return 2;
        }
        // A command that waited at the broker for a shop that was away is not run late: a
        // close of day sent at night would close the next day in the morning.
        ordered_json body = {
            {"command", options.command},
            {"expires", http::utcText(std::time(nullptr) + 60 * options.expiresMinutes)}};
        if (!options.day.empty()) body["business_day"] = options.day;
        if (!options.devices.empty()) body["devices"] = options.devices;
        if (!options.numbers.empty()) body["numbers"] = options.numbers;
        const std::string id = commandId();
        BrokerSession broker(config.toolBroker(), "velko-" + id);
        // Subscribed before sending, so that no answer is missed.
        if (!broker.connect() || !broker.subscribe(chain::resultsFilter(id))) {
            std::fprintf(stderr, "velko hq: the command was not sent\n");
            return 1;
        }
        std::vector<std::pair<std::string, std::string>> messages, to;
        for (const std::string& shop : stores) {
            messages.emplace_back(chain::commandTopic(shop, id), body.dump());
            to.emplace_back(shop, "");
        }
        // Recorded before it goes: head office keeps the answers only to what it sent.
        store->sent(id, "command", to, http::utcText(std::time(nullptr)));
        if (!broker.publish(messages, false)) {
            std::fprintf(stderr,
                         "velko hq: the broker did not acknowledge the command to every "
                         "store\n");
            return 1;
        }
        if (!options.json)
            std::printf("command %s sent to %zu store%s\n", id.c_str(), stores.size(),
                        stores.size() == 1 ? "" : "s");
        std::fflush(stdout);
        std::map<std::string, ordered_json> answers;
        bool good = true;
        broker.receive(BrokerSession::Clock::now() + std::chrono::seconds(options.waitSeconds),
                       [&](const std::string& topic, const std::string& payload) {
                           const chain::Topic t = chain::readTopic(topic);
                           std::string why;
                           const ordered_json answer =
                               chain::readMessage(payload, why).value_or(ordered_json());
                           if (t.kind != chain::TopicKind::Result || !answer.is_object() ||
                               std::find(stores.begin(), stores.end(), t.store) == stores.end())
                               return false;
                           if (answers.emplace(t.store, answer).second) {
                               good = answeredWell(answer) && good;
                               if (!options.json) describeAnswer(t.store, answer);
                               std::fflush(stdout);
                           }
                           return answers.size() == stores.size();
                       });
        std::vector<std::string> waiting;
        for (const std::string& shop : stores) {
            if (!answers.count(shop)) waiting.push_back(shop);
        }
        if (options.json) {
            ordered_json all = ordered_json::object();
            for (const auto& [shop, answer] : answers) all[shop] = answer;
            std::printf(
                "%s\n",
                http::safeDump({{"id", id}, {"answers", all}, {"waiting", waiting}}, 2).c_str());
        } else {
            for (const std::string& shop : waiting)
                std::printf(
                    "%-20s no answer within %d s: the shop runs it when it connects; head "
                    "office keeps the answer (GET /api/commands/%s)\n",
                    shop.c_str(), options.waitSeconds, id.c_str());
        }
        return good && waiting.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int printStatus(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const ordered_json status = statusJson(*store, {"", "", 1LL << 40, 0});
        if (options.json) {
            std::printf("%s\n", http::safeDump(status, 2).c_str());
            return 0;
        }
        // What stands out, in brackets after the line: not in service, behind, not announced.
        const auto notes = [](const ordered_json& row) {
            std::string out;
            const auto note = [&](const std::string& text) { out += "  (" + text + ")"; };
            if (!row["standing"].get<std::string>().empty()) note(row["standing"]);
            if (row.value("behind", false)) note("behind");
            if (row.contains("announced") && row["announced"] == false)
                note("not announced by its shop");
            return out;
        };
        for (const auto& s : status["stores"])
            std::printf("%-20s %s since %s%s\n", s["store"].get<std::string>().c_str(),
                        s["status"].get<std::string>().c_str(),
                        s["since"].get<std::string>().c_str(), notes(s).c_str());
        std::printf("\n%-20s %-12s %8s %8s  %s\n", "store", "device", "desired", "reported",
                    "state");
        for (const auto& d : status["devices"])
            std::printf("%-20s %-12s %8lld %8lld  %s%s\n", d["store"].get<std::string>().c_str(),
                        d["device"].get<std::string>().c_str(),
                        (long long)d["desired"].get<int64_t>(),
                        (long long)d["reported"].get<int64_t>(),
                        d["state"].get<std::string>().c_str(), notes(d).c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int changeRegister(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const RegisterChange done =
            changeRegisterOf(*store, options.registerOf, options.change, options.names);
        if (!done.done) {
            std::fprintf(stderr, "velko hq: %s\n", done.said.c_str());
            return done.badName ? 2 : 1;
        }
        std::printf("%s\n", done.said.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int migrate(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    if (!config.database.empty() || !isPostgresUrl(options.to)) {
        std::fprintf(stderr,
                     "velko hq: migrate copies head office's SQLite database (a "
                     "configuration without 'database') to --to postgresql://...\n");
        return 2;
    }
    try {
        auto from = openStore(config);
        HqStore to(options.to);
        const size_t rows = from->copyInto(to);
        std::printf("%zu rows copied; set database = \"%s\" in %s and restart head office\n", rows,
                    options.to.c_str(), options.config.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

int printReports(const HqOptions& options) {
    HqConfig config;
    if (!loadConfig(options.config, config)) return 2;
    try {
        auto store = openStore(config);
        const ordered_json reports = reportsJson(*store, options.day);
        // A day some devices have not reported is not a success for a script to pass over.
        const int status = reports["missing"].empty() ? 0 : 1;
        if (options.json) {
            std::printf("%s\n", http::safeDump(reports, 2).c_str());
            return status;
        }
        std::printf("%-20s %-12s %8s %8s %12s %12s\n", "store", "device", "reports", "articles",
                    "quantity", "value");
        for (const auto& r : reports["reports"])
            std::printf(
                "%-20s %-12s %8lld %8lld %12s %12s\n", r["store"].get<std::string>().c_str(),
                r["device"].get<std::string>().c_str(), (long long)r["reports"].get<int64_t>(),
                (long long)r["articles"].get<int64_t>(), r["quantity"].get<std::string>().c_str(),
                r["value"].get<std::string>().c_str());
        for (const auto& m : reports["missing"])
            std::printf("%-20s %-12s missing\n", m["store"].get<std::string>().c_str(),
                        m["device"].get<std::string>().c_str());
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velko hq: %s\n", e.what());
        return 1;
    }
}

}  // namespace velko::hq
