#pragma once

// A real HTTP/1.1 server on 127.0.0.1 (Boost.Beast) for the HTTP client's
// tests and benchmark: keeps connections alive, answers through a handler the
// test gives, and records everything it received.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orq::test {

// One request as the server parsed it off the wire.
struct http_request_record {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Which accepted connection carried it: 1 for the first, and so on.
    int connection = 0;

    // The first header with that name (names compare case-insensitively).
    std::optional<std::string> header(const std::string& _name) const;
};

// What the server answers to one request.
struct http_reply {
    int status = 200;
    std::string body;
    // Extra header fields, e.g. {"Location", "/next"}.
    std::vector<std::pair<std::string, std::string>> headers;
    // Waits this long before writing the reply (the connection stays open).
    std::chrono::milliseconds delay{0};
    // Waits until release_held() instead (single-threaded servers only).
    bool hold = false;
};

class http_server {
public:
    // Runs on a server thread, for every request; must be thread-safe when
    // the server has more than one thread.
    using handler = std::function<http_reply(const http_request_record&)>;

    // Listens on a free port of 127.0.0.1. Without a handler every request is
    // answered 200 with the body "ok". _record = false keeps only the counts
    // (for long benchmark runs).
    explicit http_server(handler _handler = {}, int _threads = 1, bool _record = true);
    ~http_server();
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    int port() const;
    // "http://127.0.0.1:<port>", without a trailing slash.
    std::string base_url() const;

    // Everything received so far, in order of arrival.
    std::vector<http_request_record> requests() const;
    std::size_t request_count() const;
    // Connections accepted so far.
    int connection_count() const;
    // Replies written completely so far.
    std::size_t replies_sent() const;
    // Writes every reply that is held now.
    void release_held();
    // Waits until at least _count requests have arrived; true if they did.
    bool wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout = std::chrono::seconds(20)) const;

    // The server's insides (defined in the implementation only).
    struct state;

private:
    std::shared_ptr<state> m_state;
};

}  // namespace orq::test
