#include "serve/views.h"

#include <sstream>

#include "device/amount.h"
#include "files/article_file.h"
#include "serve/prices.h"
#include "serve/service.h"

namespace velko::serve {

using nlohmann::ordered_json;

namespace {
ordered_json orNull(const std::string& text) {
    return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}
}  // namespace

ordered_json jobJson(const JobRecord& j) {
    ordered_json out;
    out["id"] = j.id;
    out["device"] = j.device;
    out["kind"] = j.kind;
    out["state"] = j.state;
    out["origin"] = j.origin;
    out["by"] = orNull(j.by);
    out["preview"] = j.preview;
    out["idempotency_key"] = orNull(j.key);
    out["progress"] = {{"done", j.done}, {"total", j.total}};
    out["counts"] = j.counts;
    if (j.ended) {
        out["outcome"] = {{"exit", j.exitStatus},
                          {"code", j.code ? ordered_json(*j.code) : ordered_json(nullptr)},
                          {"name", j.name},
                          {"detail", j.detail}};
    } else {
        out["outcome"] = nullptr;
    }
    out["created"] = j.created;
    out["started"] = orNull(j.started);
    out["finished"] = orNull(j.finished);
    out["result"] = j.hasResult ? ordered_json("/api/jobs/" + std::to_string(j.id) + "/result")
                                : ordered_json(nullptr);
    out["report"] = j.report ? ordered_json(j.report) : ordered_json(nullptr);
    return out;
}

ordered_json promotionJson(const PromotionRecord& p, bool withArticles) {
    const auto codec = files::makeTextCodec();
    ordered_json articles = ordered_json::array();
    for (const ArticleRecord& a : p.articles)
        articles.push_back(
            {{"code", std::string(a.code, strnlen(a.code, sizeof a.code))},
             {"name", codec->toUtf8(std::string(a.name, strnlen(a.name, sizeof a.name)))},
             {"price", formatAmount(a.price, 2)}});
    ordered_json devices = ordered_json::array();
    for (const auto& d : p.devices)
        devices.push_back(
            {{"device", d.name},
             {"start_job", d.startJob ? ordered_json(d.startJob) : ordered_json(nullptr)},
             {"end_job", d.endJob ? ordered_json(d.endJob) : ordered_json(nullptr)},
             {"note", d.note}});
    const auto moment = [](const std::string& utc) {
        return localMoment(parseMoment(utc).value_or(0));
    };
    return {{"id", p.id},
            {"state", p.state},
            {"starts_at", moment(p.startsAt)},
            {"ends_at", moment(p.endsAt)},
            {"by", p.by},
            {"created", moment(p.created)},
            {"article_count", p.articleCount},
            {"articles", withArticles ? articles : ordered_json()},
            {"devices", devices}};
}

ordered_json reportJson(const ReportRecord& r) {
    return {{"id", r.id},
            {"device", r.device},
            {"job", r.job},
            {"business_day", r.businessDay},
            {"closed_at", r.closedAt},
            {"articles", r.articles},
            {"quantity", formatAmount(r.quantity, 3)},
            {"value", formatAmount(r.value, 2)},
            {"reset", r.reset},
            {"file", r.file}};
}

ordered_json deviceJson(Service& service, const DeviceConfig& d) {
    Store& store = service.store();
    ordered_json out;
    out["name"] = d.name;
    out["line"] = d.line;
    out["number"] = d.number;
    out["baud"] = d.baud;
    out["group"] = orNull(d.group);
    out["state"] = service.deviceState(d.name);
    const auto job = store.lastJob(d.name);
    out["last_job"] = job ? jobJson(*job) : ordered_json(nullptr);
    ordered_json failed = ordered_json::array();
    for (const JobRecord& f : store.failedJobs(d.name)) failed.push_back(jobJson(f));
    out["failed_jobs"] = std::move(failed);
    const auto report = store.lastReport(d.name);
    out["last_close_day"] = report ? ordered_json{{"report", report->id},
                                                  {"business_day", report->businessDay},
                                                  {"closed_at", report->closedAt},
                                                  {"reset", report->reset}}
                                   : ordered_json(nullptr);
    const auto known = store.tableSize(d.name);
    out["articles_known"] = known ? ordered_json(*known) : ordered_json(nullptr);
    // The price list from head office the device was last verified to hold.
    const auto applied = store.appliedPriceList(d.name);
    out["price_list"] =
        applied ? ordered_json{{"version", applied->version}, {"checksum", applied->checksum}}
                : ordered_json(nullptr);
    return out;
}

ordered_json articlesJson(const std::vector<ArticleRecord>& articles) {
    std::ostringstream text;
    files::writeArticles(text, files::Format::Json, articles, *files::makeTextCodec());
    return ordered_json::parse(text.str());
}

}  // namespace velko::serve
