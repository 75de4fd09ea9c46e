#include "serve/promotions.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "device/article_rules.h"
#include "serve/prices.h"
#include "serve/service.h"

namespace velko::serve {
namespace {

std::string codeOf(const ArticleRecord& r) {
    return std::to_string(codeNumber(std::string(r.code, strnlen(r.code, sizeof r.code))));
}

std::time_t momentOf(const std::string& utc) {
    return parseMoment(utc).value_or(0);
}

bool active(const PromotionRecord& p) {
    return p.state == "scheduled" || p.state == "started";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

}  // namespace

PromotionRecord Promotions::add(PromotionRecord p) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::set<std::string> codes;
    for (const ArticleRecord& a : p.articles) codes.insert(codeOf(a));
    std::vector<int64_t> clash;
    std::string where;
    PromotionFilter current;
    current.states = {"scheduled", "started"};
    for (const PromotionRecord& other : service_.store().promotions(current)) {
        if (!active(other) || !(other.startsAt < p.endsAt && p.startsAt < other.endsAt)) continue;
        for (const auto& d : other.devices) {
            const bool onDevice =
                std::any_of(p.devices.begin(), p.devices.end(),
                            [&](const auto& mine) { return mine.name == d.name; });
            const auto shared = std::find_if(other.articles.begin(), other.articles.end(),
                                             [&](const auto& a) { return codes.count(codeOf(a)); });
            if (!onDevice || shared == other.articles.end()) continue;
            clash.push_back(other.id);
            where += (where.empty() ? "" : "; ") + std::string("promotion ") +
                     std::to_string(other.id) + " changes " + codeOf(*shared) + " on " + d.name;
            break;
        }
    }
    if (!clash.empty())
        throw PromotionConflict("another promotion changes these articles then: " + where, clash);
    p.id = service_.store().addPromotion(p);
    return p;
}

Promotions::Stop Promotions::stop(int64_t id, std::time_t now) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = service_.store().promotions(id);
    if (found.empty()) return Stop::Unknown;
    PromotionRecord& p = found.front();
    if (p.state == "scheduled") {
        p.state = "cancelled";
        service_.store().updatePromotion(p);
        return Stop::Cancelled;
    }
    if (p.state != "started") return Stop::Over;
    p.endsAt = utcText(now);
    end(p);
    return Stop::Ended;
}

std::optional<std::time_t> Promotions::tick(std::time_t now) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::optional<std::time_t> next;
    const auto due = [&](std::time_t at) {
        if (!next || at < *next) next = at;
    };
    PromotionFilter current;
    current.states = {"scheduled", "started"};
    for (PromotionRecord& p : service_.store().promotions(current)) {
        const std::time_t starts = momentOf(p.startsAt), ends = momentOf(p.endsAt);
        if (p.state == "scheduled" && now >= ends) {
            // Its whole time passed while the service was stopped: nothing is sent, and the
            // promotion says why.
            p.state = "skipped";
            for (auto& d : p.devices)
                d.note =
                    "the service was stopped from before its start "
                    "until after its end: nothing was sent";
            service_.store().updatePromotion(p);
        } else if (p.state == "scheduled" && now >= starts) {
            start(p);
            due(ends);
        } else if (p.state == "scheduled") {
            due(starts);
        } else if (p.state == "started" && now >= ends) {
            end(p);
        } else if (p.state == "started") {
            // A stop that cut its start's jobs off: they run again while it is current.
            const std::string again = cutOff(p, false);
            if (!again.empty()) start(p, again);
            due(ends);
        } else if (p.state == "ended") {
            const std::string again = cutOff(p, true);
            if (!again.empty()) end(p, again);
        }
    }
    return next;
}

// The first of the promotion's start (or end) jobs that a stop of the service interrupted, as
// the name of a try again; empty when none was.
std::string Promotions::cutOff(const PromotionRecord& p, bool ends) {
    for (const auto& d : p.devices) {
        const int64_t id = ends ? d.endJob : d.startJob;
        const auto job = id ? service_.store().job(id) : std::nullopt;
        if (job && job->state == "interrupted") return "-after-" + std::to_string(id);
    }
    return "";
}

// The promotion's names and prices go to its devices in one sync each, changes only; each
// device keeps its flags and groups. The key makes a second start after a restart queue
// nothing new.
void Promotions::start(PromotionRecord& p, const std::string& again) {
    JobInput input;
    input.kind = "sync";
    input.by = "schedule";
    input.articles = p.articles;
    input.keepOthers = input.verify = input.pricesOnly = true;
    input.note = "promotion " + std::to_string(p.id) + " starts: ";
    std::vector<std::string> names;
    for (const auto& d : p.devices) names.push_back(d.name);
    bool existing = false;
    const auto jobs = service_.submit(
        devicesNamed(service_.config(), names), input,
        "schedule:promotion-" + std::to_string(p.id) + "-start" + again, "schedule", existing);
    for (const JobRecord& j : jobs) {
        for (auto& d : p.devices) {
            if (d.name == j.device) d.startJob = j.id;
        }
    }
    p.state = "started";
    service_.store().updatePromotion(p);
    service_.promotionChanged(p.source);
}

// Each article's name and price from before the start come back, from the price history;
// an article whose price someone changed during the promotion, or that the device did not
// hold before it, is left as it is, and the note says so.
void Promotions::end(PromotionRecord& p, const std::string& again) {
    Store& store = service_.store();
    std::vector<std::string> codes;
    std::map<std::string, const ArticleRecord*> promoted;
    for (const ArticleRecord& a : p.articles) {
        codes.push_back(codeOf(a));
        promoted[codeOf(a)] = &a;
    }
    for (auto& d : p.devices) {
        if (!service_.device(d.name)) {
            d.note = "the device is no longer configured: nothing was restored";
            continue;
        }
        const auto started = d.startJob ? store.job(d.startJob) : std::nullopt;
        if (!started || started->state != "done") {
            d.note = "its start did not succeed" +
                     (started ? " (job " + std::to_string(started->id) + ", " + started->state + ")"
                              : std::string()) +
                     ": nothing to restore";
            continue;
        }
        std::map<std::string, PriceChange> before, now;
        for (const PriceChange& c : store.priceHistory({d.name}, codes)) {
            if (c.job < d.startJob) before[c.code] = c;
            now[c.code] = c;
        }
        std::vector<ArticleRecord> restore;
        std::vector<std::string> changed, fresh;
        for (const auto& [code, article] : promoted) {
            const auto was = before.find(code), is = now.find(code);
            if (is == now.end() || is->second.price != int32_t(article->price)) {
                changed.push_back(code);
            } else if (was == before.end() || !was->second.price) {
                fresh.push_back(code);
            } else {
                ArticleRecord r = *article;
                r.price = *was->second.price;
                std::memset(r.name, 0, sizeof r.name);
                was->second.name.copy(r.name, sizeof r.name - 1);
                restore.push_back(r);
            }
        }
        d.note = std::to_string(restore.size()) + " restored";
        if (!changed.empty())
            d.note += "; left as changed during the promotion: " + joined(changed);
        if (!fresh.empty()) d.note += "; left, not on the device before it: " + joined(fresh);
        if (restore.empty()) continue;
        JobInput input;
        input.kind = "sync";
        input.by = "schedule";
        input.articles = restore;
        input.keepOthers = input.verify = input.pricesOnly = true;
        input.note = "promotion " + std::to_string(p.id) + " ends: " + d.note + "; ";
        bool existing = false;
        const auto jobs =
            service_.submit({service_.device(d.name)}, input,
                            "schedule:promotion-" + std::to_string(p.id) + "-end-" + d.name + again,
                            "schedule", existing);
        if (!jobs.empty()) d.endJob = jobs.front().id;
    }
    p.state = "ended";
    store.updatePromotion(p);
    service_.promotionChanged(p.source);
}

}  // namespace velko::serve
