// The HTTP client example, built against the installed tree, with a real
// local HTTP server as its peer.

#include "http_server.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

namespace {
using orq::test::child_process;
using orq::test::http_reply;
using orq::test::http_request_record;
using orq::test::http_server;

http_reply reply(int _status, std::string _body) {
    http_reply reply;
    reply.status = _status;
    reply.body = std::move(_body);
    return reply;
}

std::size_t count_of(const std::string& _text, const std::string& _line) {
    std::size_t count = 0;
    for (auto at = _text.find(_line); at != std::string::npos; at = _text.find(_line, at + 1)) {
        ++count;
    }
    return count;
}
}  // namespace

// Catches: a request lost, sent twice or with the wrong method, target or
// body; results reported wrongly; a program that does not stop once all are back.
TEST(example_http_client, sends_a_get_and_three_posts_and_reports_every_answer) {
    http_server server([](const http_request_record& _request) {
        if (_request.method == "GET" && _request.target == "/status") {
            return reply(200, "ready");
        }
        return reply(201, "created " + _request.body);
    });
    child_process client({ORQ_EXAMPLE_PROGRAM, server.base_url()});
    EXPECT_EQ(client.exit_code(std::chrono::seconds(60)), 0) << client.stdout_text() << client.stderr_text();

    const std::string& out = client.stdout_text();
    EXPECT_EQ(out.find("GET /status: 200 ready\n"), 0u) << out;
    std::set<std::string> bodies;
    for (const auto& request : server.requests()) {
        if (request.method == "POST") {
            EXPECT_EQ(request.target, "/items");
            EXPECT_EQ(request.header("Content-Type").value_or(""), "application/json");
            bodies.insert(request.body);
            EXPECT_EQ(count_of(out, "POST /items: 201 created " + request.body + "\n"), 1u) << out;
        }
    }
    EXPECT_EQ(server.request_count(), 4u);
    EXPECT_EQ(bodies, (std::set<std::string>{R"({"item": 1})", R"({"item": 2})", R"({"item": 3})"}));
}

// Catches: an error status or a missing server taken for success, or a
// program that waits forever for results that came back as failures.
TEST(example_http_client, failures_are_reported_and_end_with_status_1) {
    http_server refusing([](const http_request_record& _request) {
        return _request.method == "GET" ? reply(200, "ready") : reply(503, "busy");
    });
    child_process client({ORQ_EXAMPLE_PROGRAM, refusing.base_url()});
    EXPECT_EQ(client.exit_code(std::chrono::seconds(60)), 1) << client.stdout_text() << client.stderr_text();
    EXPECT_EQ(count_of(client.stdout_text(), "POST /items: 503 busy\n"), 3u) << client.stdout_text();

    const int nobody = orq::test::free_tcp_port();
    child_process alone({ORQ_EXAMPLE_PROGRAM, "http://127.0.0.1:" + std::to_string(nobody)});
    EXPECT_EQ(alone.exit_code(std::chrono::seconds(60)), 1) << alone.stdout_text() << alone.stderr_text();
    EXPECT_EQ(count_of(alone.stdout_text(), "GET /status: no response: "), 1u) << alone.stdout_text();
    EXPECT_EQ(count_of(alone.stdout_text(), "POST /items: no response: "), 3u) << alone.stdout_text();
}
