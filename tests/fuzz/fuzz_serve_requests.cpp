// The service's request handling (routing, headers, query, bodies) on any bytes: never a crash,
// a hang or an answer without a status. An input is "METHOD TARGET", header lines
// "name: value", an empty line, then the body.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "serve/api.h"

using namespace velko::serve;

namespace {

Service& service() {
    static Service* s = [] {
        // Jobs are written with full synchronisation: on a memory file system that costs
        // nothing. No worker runs; jobs stay queued.
        char dir[] = "/dev/shm/velko-fuzz-XXXXXX";
        char fallback[] = "/tmp/velko-fuzz-XXXXXX";
        const char* data = mkdtemp(dir);
        if (!data) data = mkdtemp(fallback);
        std::vector<std::string> faults;
        Config config = parseConfig(R"(
[[token]]
name = "office"
secret = "operate-secret-0123456789"
role = "operate"
[[token]]
name = "counter"
secret = "read-only-secret-0123456789"
[[device]]
name = "till-1"
line = "/nonexistent/velko-fuzz-1"
group = "front"
[[device]]
name = "till-2"
line = "/nonexistent/velko-fuzz-2"
[[close_day]]
at = "22:30"
devices = ["front"]
)",
                                    "fuzz.toml", faults);
        config.data = data;
        return new Service(config);
    }();
    return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Api api(service());
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::istringstream in(input);
    ApiRequest request;
    std::string first;
    std::getline(in, first);
    const size_t space = first.find(' ');
    request.method = first.substr(0, space);
    const std::string target = space == std::string::npos ? "/" : first.substr(space + 1);
    const size_t q = target.find('?');
    request.path = target.substr(0, q);
    if (q != std::string::npos) {
        std::istringstream params(target.substr(q + 1));
        for (std::string kv; std::getline(params, kv, '&');) {
            const size_t eq = kv.find('=');
            request.query[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
        }
    }
    for (std::string line; std::getline(in, line) && !line.empty();) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            request.headers[line.substr(0, colon)] = line.substr(colon + 2);
    }
    const auto at = in.tellg();
    if (at >= 0) request.body = input.substr(size_t(at));
    const ApiResponse response = api.handle(request);
    if (response.status < 200 || response.status > 599) __builtin_trap();
    return 0;
}
