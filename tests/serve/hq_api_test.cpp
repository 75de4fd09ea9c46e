// Head office's API through its route table, without HTTP: who may do what, and what each
// kind of request is answered.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "hq/api.h"

namespace velko::hq {
namespace {

TEST(HqApi, AnswersEachKindOfRequestWithItsStatus) {
    char dir[] = "/tmp/velko-hq-api-XXXXXX";
    std::vector<std::string> faults;
    HqConfig config = parseHqConfig(R"(
broker = "mqtt://127.0.0.1:1883"
[[token]]
name = "office"
secret = "read-secret-0123456789"
role = "read"
[[token]]
name = "it"
secret = "operate-secret-0123456789"
role = "operate"
)",
                                    "hq.toml", faults);
    ASSERT_TRUE(faults.empty()) << faults[0];
    HqStore store(std::string(mkdtemp(dir)) + "/hq.db");
    HqApi api(store, config, [] { return ReadingHealth{true, "", "", 0, 0}; });
    const std::string read = "Bearer read-secret-0123456789",
                      operate = "Bearer operate-secret-0123456789";
    const struct {
        const char *method, *path;
        std::string authorization;
        std::map<std::string, std::string> query, headers;
        int status;
    } table[] = {
        {"GET", "/api/health", "", {}, {}, 200},
        {"GET", "/", "", {}, {}, 200},
        {"GET", "/no-such.js", "", {}, {}, 404},
        {"POST", "/", "", {}, {}, 405},
        {"GET", "/api/status", "", {}, {}, 401},
        {"GET", "/api/status", "Bearer wrong", {}, {}, 401},
        {"GET", "/api/status", read, {}, {}, 200},
        {"GET", "/api/status", read, {{"limit", "0"}}, {}, 400},
        {"GET", "/api/status", read, {{"x", "1"}}, {}, 400},
        {"GET", "/api/status", read, {}, {{"content-length", "5"}}, 413},
        {"GET", "/api/status", read, {}, {{"host", "rebind.example"}}, 421},
        {"PUT", "/api/status", read, {}, {}, 405},
        {"GET", "/api/nothing", read, {}, {}, 404},
        {"GET", "/api/reports", read, {{"day", "soon"}}, {}, 400},
        {"GET", "/api/reports", read, {{"day", "2026-12-09"}}, {}, 200},
        {"GET", "/api/commands/c-1", read, {}, {}, 200},
        {"GET", "/api/commands/c<1>", read, {}, {}, 404},
        {"POST", "/api/register/shop-1", read, {}, {}, 403},
        {"POST", "/api/register/shop-1", operate, {}, {}, 200},
        {"POST", "/api/register/shop-1/till-1", operate, {}, {}, 200},
        {"POST", "/api/register/shop!1", operate, {}, {}, 400},
        {"POST", "/api/register/shop-1", operate, {{"rename", "shop-2"}}, {}, 200},
        {"DELETE", "/api/register/shop-9", operate, {}, {}, 409},
        {"DELETE", "/api/register/shop-2/till-1", operate, {}, {}, 200},
        {"GET", "/api/register", read, {}, {}, 200},
    };
    for (const auto& row : table) {
        ApiRequest request;
        request.method = row.method;
        request.path = row.path;
        request.query = row.query;
        request.headers = row.headers;
        request.headers.emplace("host", "127.0.0.1");
        if (!row.authorization.empty()) request.headers["authorization"] = row.authorization;
        const ApiResponse answer = api.handle(request);
        EXPECT_EQ(answer.status, row.status)
            << row.method << " " << row.path << ": " << answer.body;
    }
    const auto enrolled = store.enrolled();
    ASSERT_EQ(enrolled.size(), 2u);
    EXPECT_EQ(std::make_tuple(enrolled[1].store, enrolled[1].device, enrolled[1].retired.empty()),
              std::make_tuple("shop-2", "till-1", false));
}

}  // namespace
}  // namespace velko::hq
