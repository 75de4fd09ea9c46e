// The HTTP API, apart from HTTP itself: a request in, a response out. The HTTP server hands
// every request to `handle`; the fuzz harness and the tests do the same without a socket.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "serve/service.h"

namespace velko::serve {

struct ApiRequest {
    std::string method;  // "GET", "POST", ...
    std::string path;    // without the query
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& lowerName) const {
        const auto it = headers.find(lowerName);
        return it == headers.end() ? "" : it->second;
    }
    std::string param(const std::string& name) const {
        const auto it = query.find(name);
        return it == query.end() ? "" : it->second;
    }
};

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Server-Sent Events: the server streams the service's events after this number instead
    // of sending `body`.
    bool events = false;
    uint64_t eventsAfter = 0;
};

// The routes, as "METHOD /path/{param}", for the API description and its test.
const std::vector<std::string>& apiRoutes();

class Api {
  public:
    // `webRoot`: a directory to serve the page from instead of the files built in.
    Api(Service& service, std::string webRoot = "");
    ApiResponse handle(const ApiRequest& request);

  private:
    ApiResponse route(const ApiRequest& request);
    Service& service_;
    std::string webRoot_;
};

}  // namespace velko::serve
