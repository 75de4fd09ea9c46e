// What the service's API handlers share: answers in JSON or CSV, and the checks of what a
// request names. Internal to serve/api*.cpp.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "files/validate.h"
#include "http/api.h"
#include "velko/velko.h"

namespace velko::serve::support {

using http::ApiRequest;
using http::ApiResponse;
using nlohmann::ordered_json;

// An answer of `body` as JSON; an error is {"error": WHAT}.
ApiResponse json(int status, const ordered_json& body);

ApiResponse error(int status, const std::string& what);

// An answer in CSV, as a download named `fileName` when one is given.
ApiResponse csv(std::string text, const std::string& fileName = "");

// Whether the request asks for CSV (Accept: text/csv, or format=csv).
bool wantsCsv(const ApiRequest& request);

// A positive whole number; 0 when the text is not one.
int64_t idOf(const std::string& text);

// "2026-12-08" or "2026-12-08T21:04:10Z".
bool isDayOrTime(const std::string& text);

// Faults of a file as JSON, a bounded number of them.
ordered_json faultsJson(const std::vector<files::Fault>& faults);

// The price list (or codes, for `kind` delete) the request's body is, in CSV or JSON.
bool readList(const ApiRequest& request, const std::string& kind,
              std::vector<ArticleRecord>& records, std::vector<files::Fault>& faults,
              std::vector<files::Fault>& warnings);

}  // namespace velko::serve::support
