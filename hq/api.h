// Head office's HTTP API apart from HTTP: a request in, an answer out, through the route layer
// both programs share. The server hands it every request; the tests do without a socket.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hq/config.h"
#include "hq/hq_store.h"
#include "http/api.h"

namespace velko::hq {

using http::ApiRequest;
using http::ApiResponse;

// How head office's reading of the broker goes, for its health.
struct ReadingHealth {
    bool connected = false;
    std::string problem, lastRefused;
    size_t waiting = 0, refused = 0;
};

class HqApi {
  public:
    HqApi(HqStore& store, const HqConfig& config, std::function<ReadingHealth()> reading);

    // Every request is answered whole from its head: head office's API reads no body.
    ApiResponse handle(const ApiRequest& request);

    // The route table as data, for the tests: each route's method and path.
    static std::vector<std::pair<std::string, std::string>> routeInfo();

  private:
    struct Route;
    struct Call {
        const ApiRequest& request;
        std::map<std::string, std::string> path;
    };
    static const std::vector<Route>& routes();
    std::optional<ApiResponse> early(const ApiRequest& request, const Route*& found, Call& call);

    ApiResponse page(const std::vector<std::string>& parts);
    ApiResponse health(const Call& call);
    ApiResponse status(const Call& call);
    ApiResponse reports(const Call& call);
    ApiResponse sales(const Call& call);
    ApiResponse command(const Call& call);
    ApiResponse registerList(const Call& call);
    ApiResponse addStore(const Call& call);
    ApiResponse retireStore(const Call& call);
    ApiResponse addDevice(const Call& call);
    ApiResponse retireDevice(const Call& call);
    ApiResponse changeRegister(const std::string& of, const std::string& change,
                               const std::vector<std::string>& names);

    HqStore& store_;
    const HqConfig& config_;
    std::function<ReadingHealth()> reading_;
};

}  // namespace velko::hq
