#include "http/server.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "http/guard.h"
#include "http/host.h"

#ifdef VELKO_WITH_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

namespace velko::http {
namespace {

using Clock = std::chrono::steady_clock;

// Set when a read on this thread's connection found its deadline passed.
thread_local bool tooSlow = false;

#ifdef VELKO_WITH_TLS
SSL_CTX* context(void* tls) {
    return static_cast<SSL_CTX*>(tls);
}

// OpenSSL's reason for the last failure, as "key values mismatch".
std::string tlsReason() {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = error ? ERR_reason_error_string(error) : nullptr;
    return reason ? reason : "unknown";
}

// A key with a passphrase would have OpenSSL ask for it on the terminal, and wait.
int noPassphrase(char*, int, int, void*) {
    return 0;
}
#else
struct SSL;
#endif

// An answer and the end of the connection, before a request was read or while its head was.
void shortAnswer(socket_t sock, SSL* ssl, const std::string& status, const std::string& why) {
    const std::string body = "{\"error\": \"" + why + "\"}\n";
    std::string answer = "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\n";
    for (const auto& [name, value] : securityHeaders()) answer += name + ": " + value + "\r\n";
    answer +=
        "Retry-After: 5\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
#ifdef VELKO_WITH_TLS
    if (ssl) {
        SSL_write(ssl, answer.data(), int(answer.size()));
        return;
    }
#else
    (void)ssl;
#endif
    sendSome(intptr_t(sock), answer.data(), answer.size());
}

// One client's connection as the HTTP library reads and writes it: reads buffered, every wait
// bounded by the library's per-read timeout and by the deadline of the request being read,
// and a request's head bounded in lines and bytes as it arrives (the library would grow a line,
// and the headers, without end).
class Connection final : public httplib::Stream {
  public:
    Connection(socket_t sock, SSL* ssl, time_t readSeconds, time_t writeSeconds,
               const ConnectionLimits& limits)
        : sock_(sock),
          ssl_(ssl),
          readMs_(int(readSeconds * 1000)),
          writeMs_(int(writeSeconds * 1000)),
          limits_(limits) {}

    void readUntil(Clock::time_point deadline) { deadline_ = deadline; }
    bool late() const { return Clock::now() >= deadline_; }

    // A request's head begins (its request line, headers and the empty line that ends them),
    // and ends when the library has read it.
    void beginHead() {
        headBytesLeft_ = limits_.maxHeaderBytes;
        headLinesLeft_ = limits_.maxHeaders + 2;
        inHead_ = true;
    }
    void endHead() { inHead_ = false; }
    // Whether the head went past its bounds (and was answered 431).
    bool refused() const { return refused_; }

    // Whether a next request starts within the keep-alive time.
    bool waitForRequest(time_t seconds) const {
        return buffered() || waitSocket(intptr_t(sock_), false, int(seconds * 1000)) == 1;
    }

    bool is_readable() const override { return buffered() || waitToRead(); }
    bool is_writable() const override { return waitSocket(intptr_t(sock_), true, writeMs_) == 1; }

    ssize_t read(char* ptr, size_t size) override {
        if (refused_) return -1;
        ssize_t n;
        if (begin_ == end_) {
            if (!is_readable()) return -1;
            if (size >= sizeof buffer_) return counted(ptr, receive(ptr, size));
            const long got = receive(buffer_, sizeof buffer_);
            if (got <= 0) return got;
            begin_ = 0;
            end_ = size_t(got);
        }
        n = ssize_t(std::min(size, end_ - begin_));
        std::memcpy(ptr, buffer_ + begin_, size_t(n));
        begin_ += size_t(n);
        return counted(ptr, n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        // The library's own answer to a head cut short: 431 has been said.
        if (refused_ || !is_writable()) return -1;
#ifdef VELKO_WITH_TLS
        if (ssl_) return SSL_write(ssl_, ptr, int(std::min<size_t>(size, 1 << 20)));
#endif
        return sendSome(intptr_t(sock_), ptr, size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        socketAddress(intptr_t(sock_), true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        socketAddress(intptr_t(sock_), false, ip, port);
    }
    socket_t socket() const override {
        return sock_;
    }

  private:
    // The bytes just read, counted against the head's bounds while a head is read.
    ssize_t counted(const char* ptr, ssize_t n) {
        if (!inHead_ || n <= 0) return n;
        for (ssize_t i = 0; i < n; ++i) {
            if (headBytesLeft_ == 0 || (ptr[i] == '\n' && headLinesLeft_-- == 0)) {
                refused_ = true;
                shortAnswer(sock_, ssl_, "431 Request Header Fields Too Large",
                            "the request's head is over " + std::to_string(limits_.maxHeaders) +
                                " headers or " + std::to_string(limits_.maxHeaderBytes) +
                                " bytes (max_headers, max_header_bytes)");
                return -1;
            }
            --headBytesLeft_;
        }
        return n;
    }

    bool buffered() const {
#ifdef VELKO_WITH_TLS
        if (ssl_ && SSL_pending(ssl_) > 0) return true;
#endif
        return begin_ < end_;
    }

    bool waitToRead() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        const int ready = left.count() > 0
                              ? waitSocket(intptr_t(sock_), false,
                                           int(std::min<long long>(left.count(), readMs_)))
                              : 0;
        // Silent for the read timeout, or past the deadline: the client is too slow.
        tooSlow = ready == 0;
        return ready == 1;
    }

    long receive(char* into, size_t size) {
#ifdef VELKO_WITH_TLS
        if (ssl_) return SSL_read(ssl_, into, int(std::min<size_t>(size, 1 << 20)));
#endif
        return receiveSome(intptr_t(sock_), into, size);
    }

    socket_t sock_;
    SSL* ssl_;
    int readMs_, writeMs_;
    Clock::time_point deadline_ = Clock::time_point::max();
    char buffer_[4096];
    size_t begin_ = 0, end_ = 0;
    const ConnectionLimits& limits_;
    bool inHead_ = false, refused_ = false;
    size_t headBytesLeft_ = 0, headLinesLeft_ = 0;
};

}  // namespace

Server::Server(const ConnectionLimits& limits) : limits_(limits) {
    const size_t threads = limits.threads;
    new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // A client that polls keeps its connection for more than the library's 5 requests.
    set_keep_alive_max_count(1000);
    set_tcp_nodelay(true);
}

Server::~Server() {
#ifdef VELKO_WITH_TLS
    SSL_CTX_free(context(tls_));
#endif
}

std::string Server::useTls(const std::string& certificate, const std::string& key) {
#ifdef VELKO_WITH_TLS
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    std::string fault;
    if (!ctx) {
        fault = "TLS cannot be started";
    } else if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION),
               SSL_CTX_set_default_passwd_cb(ctx, noPassphrase),
               SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1) {
        fault = "tls_cert: no certificate (PEM) can be read from " + certificate + " (" +
                tlsReason() + ")";
    } else if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        fault = "tls_key: the key in " + key +
                " cannot be used: it is not the certificate's, or has a passphrase, or is no "
                "PEM key (" +
                tlsReason() + ")";
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        fault = "tls_key: the key in " + key + " is not the certificate's";
    }
    if (!fault.empty()) {
        SSL_CTX_free(ctx);
        return fault;
    }
    SSL_CTX_free(context(tls_));
    tls_ = ctx;
    return "";
#else
    (void)certificate;
    (void)key;
    return "this build serves no HTTPS (tls_cert, tls_key): put a TLS proxy in front of it, or "
           "reach it through a VPN";
#endif
}

int Server::bindAlone(const std::string& host, int port) {
    socket_t listening = INVALID_SOCKET;
    set_socket_options([&listening](socket_t sock) {
        listenAlone(intptr_t(sock));
        listening = sock;
    });
    const int bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
    set_socket_options([](socket_t) {});
    // The HTTP library listens with a backlog of 5: two hundred clients connecting at once
    // would wait for SYN retries, seconds each. Listening again on the same socket raises it.
    if (bound >= 0 && listening != INVALID_SOCKET) ::listen(listening, SOMAXCONN);
    return bound;
}

bool Server::requestTooSlow() {
    return tooSlow;
}

void Server::stopServing() {
    stop();
    std::lock_guard<std::mutex> lock(mutex_);
    for (socket_t sock : open_) wakeConnection(intptr_t(sock));
}

bool Server::admit(socket_t sock, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& held = perAddress_[address];
    if (held >= limits_.perAddress) return false;
    ++held;
    open_.insert(sock);
    return true;
}

void Server::leave(socket_t sock, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(sock);
    if (--perAddress_[address] == 0) perAddress_.erase(address);
}

bool Server::process_and_close_socket(socket_t sock) {
    std::string address;
    int port = 0;
    socketAddress(intptr_t(sock), true, address, port);
    const bool admitted = admit(sock, address);
    SSL* ssl = nullptr;
#ifdef VELKO_WITH_TLS
    // The accepted socket's receive timeout (the library's read timeout) bounds the handshake.
    if (tls_) {
        // A TLS handshake starts with 0x16; a plain HTTP request with a letter, and is told.
        char first = 0;
        if (waitSocket(intptr_t(sock), false, int(read_timeout_sec_ * 1000)) == 1 &&
            recv(int(sock), &first, 1, MSG_PEEK) == 1 && first != 0x16) {
            shortAnswer(sock, nullptr, "400 Bad Request",
                        "this port speaks HTTPS: use https:// to reach it");
            ssl = nullptr;
        } else if ((ssl = SSL_new(context(tls_))) &&
                   (SSL_set_fd(ssl, int(sock)) != 1 || SSL_accept(ssl) != 1)) {
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (!ssl) {
            if (admitted) leave(sock, address);
            closeConnection(intptr_t(sock));
            return false;
        }
    }
#endif
    if (!admitted) {
        shortAnswer(sock, ssl, "503 Service Unavailable",
                    "this address has " + std::to_string(limits_.perAddress) +
                        " connections open, the most it may");
#ifdef VELKO_WITH_TLS
        SSL_free(ssl);
#endif
        closeConnection(intptr_t(sock));
        return false;
    }
    tooSlow = false;
    Connection connection(sock, ssl, read_timeout_sec_, write_timeout_sec_, limits_);
    bool ok = false;
    for (size_t left = keep_alive_max_count_; svr_sock_ != INVALID_SOCKET && left > 0; --left) {
        if (!connection.waitForRequest(keep_alive_timeout_sec_)) break;
        connection.readUntil(Clock::now() + std::chrono::seconds(limits_.headerSeconds));
        connection.beginHead();
        bool closed = false;
        ok = process_request(connection, left == 1, closed, [&](httplib::Request& req) {
            connection.endHead();
            // Headers read: the body, if any, has until it arrives at the floor rate.
            const long long length =
                std::strtoll(req.get_header_value("Content-Length").c_str(), nullptr, 10);
            connection.readUntil(Clock::now() + std::chrono::seconds(limits_.headerSeconds) +
                                 std::chrono::seconds(std::max(0LL, length) / limits_.bodyFloor));
        });
        // A client that let a deadline pass, or sent too large a head, is not waited for again.
        if (!ok || closed || connection.late() || connection.refused()) break;
    }
#ifdef VELKO_WITH_TLS
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
#endif
    leave(sock, address);
    closeConnection(intptr_t(sock));
    return ok;
}

}  // namespace velko::http
