// The HTTP server of the service and head office: the HTTP library's request handling, on
// connections this server reads and writes itself, so that no client holds what others need.
// - A request's line and headers must arrive within a deadline, and its body at a floor rate:
//   a client that trickles them is cut off instead of holding a thread.
// - One address holds at most so many connections; the next are refused with 503 at once.
// - A request's head holds at most so many headers and bytes; past them it is answered 431,
//   the connection is closed and nothing of the request is kept.
// - The port is this program's alone, with a backlog long enough for many clients at once.
// - Optionally TLS (Linux), so a shop without a reverse proxy still gets HTTPS.
#pragma once

#include <httplib.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "http/limits.h"

namespace velko::http {

class Server : public httplib::Server {
  public:
    explicit Server(const ConnectionLimits& limits);
    ~Server() override;

    // Serves HTTPS with the certificate chain and key in these PEM files; the fault, or "".
    std::string useTls(const std::string& certificate, const std::string& key);
    bool tls() const { return tls_ != nullptr; }

    // Binds HOST:PORT (0: a free port) for this program alone: the port, or -1.
    int bindAlone(const std::string& host, int port);

    // Stops listening and wakes the connections waiting for a next request, so that the
    // stop does not wait for their keep-alive to run out.
    void stopServing();

    // In an error handler: whether this thread's request failed because its client let a
    // deadline pass (headerSeconds, or the body's floor rate) or fell silent for the read
    // timeout, for a 408 that says so.
    static bool requestTooSlow();

  private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(socket_t sock, const std::string& address);
    void leave(socket_t sock, const std::string& address);

    const ConnectionLimits limits_;
    void* tls_ = nullptr;  // the TLS context (OpenSSL's SSL_CTX), when serving HTTPS
    std::mutex mutex_;
    std::map<std::string, size_t> perAddress_;
    std::set<socket_t> open_;
};

}  // namespace velko::http
