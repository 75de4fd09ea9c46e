// The service's records as the API shows them, in JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serve/config.h"
#include "serve/store.h"

namespace velko::serve {

class Service;

nlohmann::ordered_json jobJson(const JobRecord& job);
// A promotion; its articles only when asked for (a list of promotions leaves them out).
nlohmann::ordered_json promotionJson(const PromotionRecord& p, bool withArticles = true);
nlohmann::ordered_json reportJson(const ReportRecord& report);
nlohmann::ordered_json deviceJson(Service& service, const DeviceConfig& device);
// Articles as the tool's JSON files have them: code, name, price, flag, group, quantity, value.
nlohmann::ordered_json articlesJson(const std::vector<ArticleRecord>& articles);

}  // namespace velko::serve
