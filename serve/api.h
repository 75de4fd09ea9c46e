// The HTTP API, apart from HTTP itself: a request in, a response out. The HTTP server hands
// every request to `handle`; the fuzz harness and the tests do the same without a socket.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "http/api.h"
#include "http/embedded_files.h"
#include "serve/service.h"

namespace velko::serve {

// The service's built-in file of that name ("index.html", "openapi.json"), or null.
const http::EmbeddedFile* embeddedFile(const std::string& name);

using http::ApiRequest;
using http::ApiResponse;

class Api {
  public:
    // `webRoot`: a directory to serve the page from instead of the files built in.
    Api(Service& service, std::string webRoot = "");
    ApiResponse handle(const ApiRequest& request);
    // The refusal of a request by what comes before its body (its Host, path, method, token
    // and query), so that the body of a request that is refused anyway is never read; nothing
    // when it may go on.
    std::optional<ApiResponse> refusal(const ApiRequest& request);

    // The route table as data: each route's method, path, whether it needs a token, and the
    // query parameters it takes.
    struct RouteInfo {
        std::string method, pattern;
        bool needsToken;
        std::vector<std::string> params;
    };
    static std::vector<RouteInfo> routeInfo();

  private:
    struct Route;
    // A request on its way to a route's handler: the parts its path names, and its token.
    struct Call {
        const ApiRequest& request;
        std::map<std::string, std::string> path;
        const Token* token;
    };
    static const std::vector<Route>& routes();
    // What answers a request before its handler does: the page, OPTIONS, a refusal; or
    // nothing, with its route and token found.
    std::optional<ApiResponse> early(const ApiRequest& request, const Route*& found, Call& call);
    ApiResponse finish(const ApiRequest& request, ApiResponse response);
    ApiResponse page(const std::vector<std::string>& parts, const std::string& method);
    ApiResponse health(const Call& call);
    ApiResponse description(const Call& call);
    ApiResponse tokenInfo(const Call& call);
    ApiResponse devices(const Call& call);
    ApiResponse check(const Call& call);
    ApiResponse submit(const Call& call);
    ApiResponse jobs(const Call& call);
    ApiResponse job(const Call& call);
    ApiResponse cancel(const Call& call);
    ApiResponse jobResult(const Call& call);
    ApiResponse events(const Call& call);
    ApiResponse reports(const Call& call);
    ApiResponse report(const Call& call);
    ApiResponse sales(const Call& call);
    ApiResponse lowestPrices(const Call& call);
    ApiResponse priceHistory(const Call& call);
    ApiResponse addPromotion(const Call& call);
    ApiResponse promotions(const Call& call);
    ApiResponse promotion(const Call& call);
    ApiResponse stopPromotion(const Call& call);
    std::optional<ApiResponse> priceDevices(const ApiRequest& request,
                                            std::vector<std::string>& names);
    std::optional<JobRecord> namedJob(const Call& call, ApiResponse& missing);
    std::optional<ApiResponse> badFilter(const ApiRequest& request);

    Service& service_;
    std::string webRoot_;
};

}  // namespace velko::serve
