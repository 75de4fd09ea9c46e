// The price history and the promotions in the job log's database.
#include <cstring>

#include "serve/store.h"

namespace velko::serve {

void Store::recordPrices(const std::string& device, int64_t job, const std::string& at,
                         const std::vector<ArticleRecord>& articles, PricesFrom what) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    // What the history says each article costs now: a row only for what changes that.
    std::map<std::string, std::pair<std::optional<int32_t>, std::string>> last;
    Statement latest(db_,
                     "SELECT code, price, name, max(id) FROM price_history WHERE device = ? "
                     "GROUP BY code");
    latest.bind(1, device);
    while (latest.step()) {
        last[latest.text(0)] = {
            latest.isNull(1) ? std::nullopt : std::optional<int32_t>(latest.integer(1)),
            latest.text(2)};
    }
    Statement insert(db_,
                     "INSERT INTO price_history(device, code, at, price, name, grp, job) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?)");
    const auto add = [&](const std::string& code, std::optional<int32_t> price,
                         const std::string& name, int group) {
        const auto before = last.find(code);
        if (before != last.end() && before->second.first == price &&
            (!price || before->second.second == name))
            return;
        if (before == last.end() && !price) return;
        insert.bind(1, device).bind(2, code).bind(3, at);
        if (price) {
            insert.bind(4, *price).bindBlob(5, name.data(), name.size());
        } else {
            insert.bindNull(4).bindNull(5);
        }
        insert.bind(6, group).bind(7, job);
        insert.run();
        insert.reset();
    };
    std::set<std::string> seen;
    for (const ArticleRecord& a : articles) {
        const std::string code =
            std::to_string(codeNumber(std::string(a.code, strnlen(a.code, sizeof a.code))));
        seen.insert(code);
        if (what == PricesFrom::Deleted) {
            add(code, std::nullopt, "", 0);
        } else {
            add(code, int32_t(a.price), std::string(a.name, strnlen(a.name, sizeof a.name)),
                a.group);
        }
    }
    if (what == PricesFrom::Table) {
        for (const auto& [code, was] : last) {
            if (was.first && !seen.count(code)) add(code, std::nullopt, "", 0);
        }
    }
    t.commit();
}

std::vector<PriceChange> Store::priceHistory(const std::vector<std::string>& devices,
                                             const std::vector<std::string>& codes) {
    const Lease lease(*this);
    // The lists go in as JSON arrays, which SQLite opens with json_each.
    Statement s(lease.db,
                "SELECT device, code, at, price, name, grp, job FROM price_history "
                "WHERE (?1 IS NULL OR device IN (SELECT value FROM json_each(?1))) "
                "AND (?2 IS NULL OR code IN (SELECT value FROM json_each(?2))) "
                "ORDER BY device, CAST(code AS INTEGER), id");
    const auto list = [](const std::vector<std::string>& items) {
        return items.empty() ? std::string() : nlohmann::json(items).dump();
    };
    s.bindOrNull(1, list(devices)).bindOrNull(2, list(codes));
    std::vector<PriceChange> out;
    while (s.step()) {
        PriceChange c;
        c.device = s.text(0);
        c.code = s.text(1);
        c.at = s.text(2);
        if (!s.isNull(3)) c.price = int32_t(s.integer(3));
        c.name = s.text(4);
        c.group = int(s.integer(5));
        c.job = s.integer(6);
        out.push_back(std::move(c));
    }
    return out;
}

void Store::prunePrices(const std::string& before) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement(db_,
              "DELETE FROM price_history WHERE at < ?1 AND id NOT IN "
              "(SELECT max(id) FROM price_history WHERE at < ?1 GROUP BY device, code)")
        .bind(1, before)
        .run();
}

int64_t Store::addPromotion(const PromotionRecord& p) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_,
              "INSERT INTO promotions(starts_at, ends_at, state, started_by, created, articles, "
              "source) VALUES (?, ?, ?, ?, ?, ?, ?)")
        .bind(1, p.startsAt)
        .bind(2, p.endsAt)
        .bind(3, p.state)
        .bind(4, p.by)
        .bind(5, p.created)
        .bindBlob(6, reinterpret_cast<const char*>(p.articles.data()),
                  p.articles.size() * sizeof(ArticleRecord))
        .bind(7, p.source)
        .run();
    const int64_t id = sqlite3_last_insert_rowid(db_);
    Statement device(db_, "INSERT INTO promotion_devices(promotion, device) VALUES (?, ?)");
    for (const PromotionRecord::Device& d : p.devices) {
        device.bind(1, id).bind(2, d.name).run();
        device.reset();
    }
    t.commit();
    return id;
}

std::vector<PromotionRecord> Store::promotions(const PromotionFilter& f) {
    const Lease lease(*this);
    std::string states;
    for (size_t i = 0; i < f.states.size(); ++i)
        states += (i ? ", ?" : "?") + std::to_string(i + 5);
    const std::string sql =
        std::string("SELECT id, starts_at, ends_at, state, started_by, created, ") +
        (f.articles ? "articles" : "length(articles)") +
        ", source FROM promotions WHERE (?1 = 0 OR id = ?1) AND (?2 = '' OR source = ?2) AND (?3 "
        "= '' OR ends_at >= ?3)" +
        (states.empty() ? "" : " AND state IN (" + states + ")") + " ORDER BY id DESC LIMIT ?4";
    Statement s(lease.db, sql.c_str());
    s.bind(1, f.id).bind(2, f.source).bind(3, f.endsSince).bind(4, f.limit > 0 ? f.limit : -1);
    for (size_t i = 0; i < f.states.size(); ++i) s.bind(int(i) + 5, f.states[i]);
    std::vector<PromotionRecord> out;
    while (s.step()) {
        PromotionRecord p;
        p.id = s.integer(0);
        p.startsAt = s.text(1);
        p.endsAt = s.text(2);
        p.state = s.text(3);
        p.by = s.text(4);
        p.created = s.text(5);
        if (f.articles) {
            const std::string bytes = s.text(6);
            p.articles.resize(bytes.size() / sizeof(ArticleRecord));
            std::memcpy(p.articles.data(), bytes.data(), p.articles.size() * sizeof(ArticleRecord));
        }
        p.articleCount =
            f.articles ? p.articles.size() : size_t(s.integer(6)) / sizeof(ArticleRecord);
        p.source = s.text(7);
        out.push_back(std::move(p));
    }
    Statement d(lease.db,
                "SELECT device, coalesce(start_job, 0), coalesce(end_job, 0), note FROM "
                "promotion_devices WHERE promotion = ? ORDER BY rowid");
    for (PromotionRecord& p : out) {
        d.bind(1, p.id);
        while (d.step()) p.devices.push_back({d.text(0), d.integer(1), d.integer(2), d.text(3)});
        d.reset();
    }
    return out;
}

void Store::prunePromotions(const std::string& before) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_,
              "DELETE FROM promotion_devices WHERE promotion IN (SELECT id FROM promotions WHERE "
              "state NOT IN ('scheduled', 'started') AND ends_at < ?1)")
        .bind(1, before)
        .run();
    Statement(db_,
              "DELETE FROM promotions WHERE state NOT IN ('scheduled', 'started') AND ends_at < ?1")
        .bind(1, before)
        .run();
    t.commit();
}

void Store::updatePromotion(const PromotionRecord& p) {
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_);
    Statement(db_, "UPDATE promotions SET state = ?, ends_at = ? WHERE id = ?")
        .bind(1, p.state)
        .bind(2, p.endsAt)
        .bind(3, p.id)
        .run();
    Statement device(db_,
                     "UPDATE promotion_devices SET start_job = nullif(?, 0), end_job = "
                     "nullif(?, 0), note = ? WHERE promotion = ? AND device = ?");
    for (const PromotionRecord::Device& d : p.devices) {
        device.bind(1, d.startJob).bind(2, d.endJob).bind(3, d.note).bind(4, p.id).bind(5, d.name);
        device.run();
        device.reset();
    }
    t.commit();
}

}  // namespace velko::serve
