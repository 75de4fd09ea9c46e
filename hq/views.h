// Head office's answers as JSON, built from what it stores.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "hq/hq_store.h"

namespace velko::hq {

using nlohmann::ordered_json;

ordered_json statusJson(HqStore& store, const HqStore::Page& page);
ordered_json reportsJson(HqStore& store, const std::string& day);

}  // namespace velko::hq
