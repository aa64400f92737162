// The HTTP client against a real HTTP/1.1 server on loopback: what goes on
// the wire, how statuses and transport failures come back, how asynchronous
// requests are delivered, dropped, re-sent and waited for, and that
// connections are reused.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include "http_server.hpp"
#include "loop_test.hpp"

#include <boost/optional/optional_io.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;
using orq::test::http_reply;
using orq::test::http_request_record;
using orq::test::http_server;

namespace {

const std::string transport_error = "curl_easy_perform failed:";

http_reply reply(int _status, std::string _body, std::vector<std::pair<std::string, std::string>> _headers = {},
                 std::chrono::milliseconds _delay = 0ms) {
    http_reply result;
    result.status = _status;
    result.body = std::move(_body);
    result.headers = std::move(_headers);
    result.delay = _delay;
    return result;
}

http_reply route(const http_request_record& _request) {
    const std::string& target = _request.target;
    if (target == "/created") {
        return reply(201, "made");
    }
    if (target == "/empty") {
        return reply(204, "");
    }
    if (target == "/missing") {
        return reply(404, "missing");
    }
    if (target == "/r1") {
        return reply(302, "", {{"Location", "/r2"}});
    }
    if (target == "/r2") {
        return reply(301, "", {{"Location", "/final"}});
    }
    if (target == "/final") {
        return reply(200, "end");
    }
    if (target == "/see-other" || target == "/found" || target == "/moved") {
        const int status = target == "/see-other" ? 303 : target == "/found" ? 302 : 301;
        return reply(status, "", {{"Location", "/landing"}});
    }
    if (target == "/temporary" || target == "/permanent") {
        return reply(target == "/temporary" ? 307 : 308, "", {{"Location", "/landing"}});
    }
    if (target == "/landing") {
        return reply(200, "landed");
    }
    if (target == "/loop") {
        return reply(302, "", {{"Location", "/loop"}});
    }
    if (target == "/slow") {
        return reply(200, "late", {}, 3s);
    }
    if (target == "/lagging") {
        // Long enough that the destruction surely begins while it runs.
        return reply(200, "lagged", {}, 1s);
    }
    if (target == "/held") {
        http_reply held = reply(200, "held");
        held.hold = true;
        return held;
    }
    return reply(200, "ok");
}

std::vector<std::string> targets(const http_server& _server) {
    std::vector<std::string> result;
    for (const auto& request : _server.requests()) {
        result.push_back(request.target);
    }
    return result;
}

// The body as a value, for comparisons.
boost::optional<std::string> data_of(const http::result& _result) {
    if (const auto data = _result.data()) {
        return *data;
    }
    return boost::none;
}

bool is_transport_error(const http::result& _result) {
    return !_result.status_code() && !_result.data() && _result.error() &&
           _result.error()->rfind(transport_error, 0) == 0 && _result.error()->size() > transport_error.size() &&
           (*_result.error())[transport_error.size()] != ' ';
}

class http_client_test : public orq::test::loop_test {
protected:
    http_client_test() : loop_test("http-client-test") {}
    http_server m_server{route};

    http::client::ptr make_client(std::vector<http::method> _disabled = {}, int _threads = 10,
                                  std::chrono::seconds _timeout = 30s) {
        return m_loop->create_http_client(m_server.base_url(), _timeout, _disabled, _threads);
    }

    // Runs the loop until a callback calls stop(); fails if the bound has to.
    void run_until_stopped() {
        m_loop->get_io_context().restart();
        auto work = m_loop->create_work();
        run_bounded();
    }
};

// -------------------------------------------------------- requests on the wire

// Catches: a disabled method reaching the server, or its result not being
// 200 with an empty body, synchronously or asynchronously.
TEST_F(http_client_test, disabled_methods_send_nothing_and_succeed_empty) {
    auto client = make_client({http::method::post, http::method::del, http::method::post});
    const auto sync = client->perform_request(http::method::post, "/created", R"({"a":1})");
    EXPECT_EQ(sync.status_code(), 200);
    EXPECT_EQ(data_of(sync), std::string());
    EXPECT_FALSE(sync.error());

    boost::optional<http::result> async;
    auto handle = client->perform_async_request(http::method::del, "/created", [&](http::result _result) {
        async = std::move(_result);
        m_loop->stop();
    });
    run_until_stopped();
    ASSERT_TRUE(async);
    EXPECT_EQ(async->status_code(), 200);
    EXPECT_EQ(data_of(*async), std::string());

    EXPECT_EQ(client->perform_request(http::method::get, "/created").status_code(), 201);
    EXPECT_EQ(targets(m_server), std::vector<std::string>{"/created"});
}

// Catches: a wrong verb, a missing or doubled slash between base and request
// address, a base query lost, a content type or body sent without a body (or
// missing with one, GET too), POST or PUT without "Content-Length: 0", a body
// delayed by "Expect: 100-continue", and a missing user agent.
TEST_F(http_client_test, sends_verb_joined_url_body_only_when_given_and_user_agent) {
    auto client = m_loop->create_http_client(m_server.base_url() + "/base", 30s, {}, 1);
    client->perform_request(http::method::get, "path?q=1");
    client->perform_request(http::method::get, "/with", R"({"k":1})");
    client->perform_request(http::method::post, "/none");
    client->perform_request(http::method::put, "/put", "[]");
    client->perform_request(http::method::del, "/del");
    client->perform_request(http::method::put, "/none");

    const auto requests = m_server.requests();
    ASSERT_EQ(requests.size(), 6u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"GET", "/base/path?q=1"}, {"GET", "/base/with"},   {"POST", "/base/none"},
        {"PUT", "/base/put"},      {"DELETE", "/base/del"}, {"PUT", "/base/none"}};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].method, expected[i].first);
        EXPECT_EQ(requests[i].target, expected[i].second);
        EXPECT_EQ(requests[i].header("user-agent"), std::string("vusk-debug-agent"));
    }
    for (const std::size_t i : {0u, 2u, 4u, 5u}) {
        EXPECT_EQ(requests[i].body, "") << i;
        EXPECT_FALSE(requests[i].header("content-type")) << i;
    }
    EXPECT_EQ(requests[1].body, R"({"k":1})");
    EXPECT_EQ(requests[1].header("content-type"), std::string("application/json"));
    EXPECT_EQ(requests[3].body, "[]");
    EXPECT_EQ(requests[2].header("content-length"), std::string("0"));
    EXPECT_EQ(requests[5].header("content-length"), std::string("0"));
    EXPECT_FALSE(requests[0].header("content-length"));
    EXPECT_FALSE(requests[4].header("content-length"));

    // Exactly one slash between the parts, whichever of them brings one; an
    // empty address is the base itself; the base's query stays unless the
    // address brings its own.
    const std::pair<std::string, std::vector<std::pair<std::string, std::string>>> joins[] = {
        {"", {{"x", "/x"}, {"/x", "/x"}, {"", "/"}}},
        {"/", {{"x", "/x"}, {"/x", "/x"}}},
        {"/base/", {{"x", "/base/x"}, {"/x", "/base/x"}, {"", "/base/"}}},
        {"/base?key=k", {{"x", "/base/x?key=k"}, {"/x?own=1", "/base/x?own=1"}}},
    };
    for (const auto& [base, cases] : joins) {
        auto joined = m_loop->create_http_client(m_server.base_url() + base, 30s, {}, 1);
        for (const auto& [address, target] : cases) {
            const std::size_t before = m_server.request_count();
            EXPECT_TRUE(joined->perform_request(http::method::get, address).ok()) << base << " + " << address;
            ASSERT_EQ(m_server.request_count(), before + 1);
            EXPECT_EQ(m_server.requests().back().target, target) << base << " + " << address;
        }
    }

    // Large enough that libcurl would otherwise ask for "100 Continue" (which
    // this server never sends) and wait a second for it.
    const std::string large(2 * 1024 * 1024, 'x');
    EXPECT_TRUE(client->perform_request(http::method::post, "/large", large).ok());
    const auto last = m_server.requests().back();
    EXPECT_EQ(last.body.size(), large.size());
    EXPECT_FALSE(last.header("expect"));
}

// Catches: an address that takes the request to another listener, or puts
// the base's host into user information, being sent at all; a refusal that
// does not name the address or that looks like a response; and a malformed
// base address sending anything.
TEST_F(http_client_test, addresses_that_leave_the_service_are_refused) {
    http_server other;
    const std::string elsewhere = "127.0.0.1:" + std::to_string(other.port());
    const std::vector<std::string> addresses = {"@" + elsewhere + "/data", "//" + elsewhere + "/data",
                                                "http://" + elsewhere + "/data", elsewhere + "/data",
                                                "localhost:" + std::to_string(other.port())};
    const auto refused = [](const http::result& _result, const std::string& _address) {
        return !_result.status_code() && !_result.data() && _result.error() &&
               _result.error()->find(_address) != std::string::npos;
    };
    auto client = make_client({}, 2);
    std::size_t arrived = 0;
    std::vector<http::client::handle_ptr> handles;
    for (const auto& address : addresses) {
        const auto sync = client->perform_request(http::method::post, address, "{}");
        EXPECT_TRUE(refused(sync, address)) << address << ": " << sync.error();
        handles.push_back(client->perform_async_request(http::method::get, address, [&, address](http::result _r) {
            EXPECT_TRUE(refused(_r, address)) << address << ": " << _r.error();
            if (++arrived == addresses.size()) {
                m_loop->stop();
            }
        }));
    }
    run_until_stopped();
    EXPECT_EQ(arrived, addresses.size());

    auto malformed = m_loop->create_http_client("http://127.0.0.1:99999", 30s, {}, 1);
    const auto bad_base = malformed->perform_request(http::method::get, "/x");
    ASSERT_TRUE(bad_base.error());
    EXPECT_NE(bad_base.error()->find("http://127.0.0.1:99999"), std::string::npos);

    EXPECT_EQ(other.request_count(), 0u);
    EXPECT_EQ(other.connection_count(), 0);
    EXPECT_EQ(m_server.request_count(), 0u);
}

// ------------------------------------------------------------------ responses

// Catches: a 2xx body put in error (or 204 leaving data empty-handed), an
// error body put in data, redirects not followed, and a redirect loop that
// never ends.
TEST_F(http_client_test, statuses_and_redirects) {
    auto client = make_client({}, 1);
    const auto created = client->perform_request(http::method::post, "/created", "{}");
    EXPECT_TRUE(created.ok());
    EXPECT_EQ(created.status_code(), 201);
    EXPECT_EQ(data_of(created), std::string("made"));
    EXPECT_FALSE(created.error());

    const auto empty = client->perform_request(http::method::get, "/empty");
    EXPECT_EQ(empty.status_code(), 204);
    EXPECT_EQ(data_of(empty), std::string());

    auto missing = client->perform_request(http::method::get, "/missing");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.status_code(), 404);
    EXPECT_FALSE(missing.data());
    EXPECT_EQ(missing.error(), std::string("missing"));
    EXPECT_FALSE(std::move(missing).data());

    auto redirected = client->perform_request(http::method::get, "/r1");
    EXPECT_EQ(redirected.status_code(), 200);
    EXPECT_EQ(std::move(redirected).data(), std::string("end"));
    EXPECT_EQ(targets(m_server), (std::vector<std::string>{"/created", "/empty", "/missing", "/r1", "/r2", "/final"}));

    EXPECT_TRUE(is_transport_error(client->perform_request(http::method::get, "/loop")));
    EXPECT_LE(m_server.request_count(), 6u + 40u);
}

// Catches: a POST redirected by 301, 302 or 303 sent again as POST or with
// its body, one redirected by 307 or 308 losing its verb or body, and another
// method losing its verb or body on any redirect.
TEST_F(http_client_test, redirects_keep_or_change_the_method_as_http_says) {
    struct redirect_case {
        http::method method;
        std::string address;
        std::string method_after;
        std::string body_after;
    };
    const std::vector<redirect_case> cases = {
        {http::method::post, "/see-other", "GET", ""},
        {http::method::post, "/found", "GET", ""},
        {http::method::post, "/moved", "GET", ""},
        {http::method::post, "/temporary", "POST", "{\"p\":1}"},
        {http::method::post, "/permanent", "POST", "{\"p\":1}"},
        {http::method::put, "/see-other", "PUT", "{\"p\":1}"},
        {http::method::put, "/temporary", "PUT", "{\"p\":1}"},
        {http::method::del, "/see-other", "DELETE", "{\"p\":1}"},
    };
    auto client = make_client({}, 1);
    for (const auto& one : cases) {
        const std::size_t before = m_server.request_count();
        const auto answer = client->perform_request(one.method, one.address, R"({"p":1})");
        EXPECT_EQ(data_of(answer), std::string("landed")) << one.address;
        const auto requests = m_server.requests();
        ASSERT_EQ(requests.size(), before + 2) << one.address;
        const auto& landed = requests.back();
        EXPECT_EQ(landed.target, "/landing");
        EXPECT_EQ(landed.method, one.method_after) << to_string(one.method) << " " << one.address;
        EXPECT_EQ(landed.body, one.body_after) << to_string(one.method) << " " << one.address;
        if (one.body_after.empty()) {
            EXPECT_FALSE(landed.header("content-length")) << to_string(one.method) << " " << one.address;
        }
    }
}

// Catches: a transport failure reported with a code or data, or in another
// form; a time-out not applied.
TEST_F(http_client_test, unreachable_and_too_slow_servers_give_transport_errors) {
    auto unreachable =
        m_loop->create_http_client("http://127.0.0.1:" + std::to_string(orq::test::free_tcp_port()), 30s, {}, 1);
    EXPECT_TRUE(is_transport_error(unreachable->perform_request(http::method::get, "/")));

    auto impatient = make_client({}, 1, 1s);
    EXPECT_TRUE(is_transport_error(impatient->perform_request(http::method::get, "/slow")));
}

// Catches: a method outside the enumeration sent anyway, escaping a worker
// (which would kill the worker and never complete the handle), and fewer
// than one worker thread accepted.
TEST_F(http_client_test, invalid_method_and_thread_count_are_refused) {
    const auto invalid = static_cast<http::method>(7);
    auto client = make_client({}, 1);
    EXPECT_THROW(client->perform_request(invalid, "/"), orq::libs::core::exception);

    std::vector<http::result> results;
    const auto on_result = [&](http::result _result) {
        results.push_back(std::move(_result));
        if (results.size() == 2) {
            m_loop->stop();
        }
    };
    auto bad = client->perform_async_request(invalid, "/", on_result);
    // Only one worker: this one is served only if the first did not kill it.
    auto good = client->perform_async_request(http::method::get, "/created", on_result);
    run_until_stopped();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].status_code());
    EXPECT_FALSE(results[0].data());
    ASSERT_TRUE(results[0].error());
    EXPECT_NE(results[0].error()->find("Unknown enumeration value"), std::string::npos);
    EXPECT_EQ(results[1].status_code(), 201);
    EXPECT_EQ(targets(m_server), std::vector<std::string>{"/created"});

    for (const int threads : {0, -1}) {
        try {
            make_client({}, threads);
            ADD_FAILURE() << threads << " worker threads accepted";
        } catch (const orq::libs::core::exception& _error) {
            EXPECT_NE(_error.get_string_error().find("at least one worker thread"), std::string::npos);
        }
    }
}

// ---------------------------------------------------------------- asynchronous

// Catches: a result delivered on a worker thread, a callback installed after
// the call missing its result, and restart() not sending the request again.
TEST_F(http_client_test, results_arrive_on_the_loop_thread_and_restart_sends_again) {
    auto client = m_loop->create_http_client(m_server.base_url(), 30s);
    const auto loop_thread = std::this_thread::get_id();
    std::vector<std::string> bodies;
    bool foreign_thread = false;
    http::client::handle_ptr handle = client->perform_async_request(http::method::put, "/created", "{}");
    handle->set_callback([&](http::result _result) {
        foreign_thread = foreign_thread || std::this_thread::get_id() != loop_thread;
        bodies.push_back(data_of(_result).value_or("<none>"));
        if (bodies.size() == 1) {
            handle->restart();
        } else {
            m_loop->stop();
        }
    });
    run_until_stopped();
    EXPECT_FALSE(foreign_thread);
    EXPECT_EQ(bodies, (std::vector<std::string>{"made", "made"}));
    EXPECT_EQ(m_server.request_count(), 2u);
    EXPECT_EQ(m_server.requests().at(1).body, "{}");
}

// Catches: a request sent although its handle was dropped before a worker
// took it up, and a 2-argument factory that does not give 10 workers.
TEST_F(http_client_test, dropped_handles_are_not_sent_and_ten_workers_by_default) {
    auto client = m_loop->create_http_client(m_server.base_url(), 30s);
    std::vector<http::client::handle_ptr> held;
    int done = 0;
    for (int i = 0; i < 11; ++i) {
        held.push_back(client->perform_async_request(http::method::get, "/held", [&](http::result) {
            if (++done == 12) {
                m_loop->stop();
            }
        }));
    }
    ASSERT_TRUE(m_server.wait_for_requests(10));
    // Every worker is busy, so the eleventh waits (no event announces that
    // it does not come; a short bound is enough to see it come).
    EXPECT_FALSE(m_server.wait_for_requests(11, 300ms));
    client->perform_async_request(http::method::get, "/dropped", [&](http::result) { ADD_FAILURE(); });
    held.push_back(client->perform_async_request(http::method::get, "/after", [&](http::result) {
        if (++done == 12) {
            m_loop->stop();
        }
    }));
    m_server.release_held();
    // The eleventh (held again) and "/after"; "/dropped" never.
    ASSERT_TRUE(m_server.wait_for_requests(12));
    m_server.release_held();
    run_until_stopped();
    EXPECT_EQ(done, 12);
    const auto sent = targets(m_server);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "/dropped"), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "/after"), 1);
}

// Catches: a destructor that returns before the transfer in progress ended,
// one that sends the requests still queued (the worker loop's drain would run
// them), and a restart() after the client is gone touching freed memory.
TEST_F(http_client_test, destruction_waits_for_the_transfer_and_drops_queued_requests) {
    auto client = make_client({}, 1);
    boost::optional<http::result> first;
    auto lagging = client->perform_async_request(http::method::get, "/lagging", [&](http::result _result) {
        first = std::move(_result);
        m_loop->stop();
    });
    auto queued = client->perform_async_request(http::method::get, "/queued", [&](http::result) { ADD_FAILURE(); });
    ASSERT_TRUE(m_server.wait_for_requests(1));
    client.reset();
    // The result was returned, so the transfer ended. (The server's count of
    // replies sent is no witness: its write completes on its own thread, maybe
    // after the client has read the reply.)
    EXPECT_TRUE(lagging->is_complete());
    EXPECT_FALSE(queued->is_complete());
    queued->restart();
    EXPECT_FALSE(queued->is_complete());
    run_until_stopped();
    ASSERT_TRUE(first);
    EXPECT_EQ(data_of(*first), std::string("lagged"));
    EXPECT_EQ(targets(m_server), std::vector<std::string>{"/lagging"});
}

// Catches: a result lost because it reached the loop before the callback was
// installed by a caller on another thread, and unsynchronised access to the
// handle's callback (under TSan). Most requests use a disabled method, whose
// result comes back at once, which is when a late callback loses it.
TEST_F(http_client_test, twenty_thousand_requests_from_another_thread_all_get_their_callback) {
    constexpr int requests = 20000;
    constexpr int sent_every = 50;
    auto client = make_client({http::method::del}, 4);
    int done = 0;
    int ok = 0;
    std::vector<http::client::handle_ptr> handles;
    std::thread issuer;
    const auto on_result = [&](http::result _result) {
        ok += _result.ok() ? 1 : 0;
        if (++done == requests) {
            m_loop->stop();
        }
    };
    // Started by the loop, so that the loop runs while the requests go out.
    m_loop->post(
        [&] {
            issuer = std::thread([&] {
                handles.reserve(requests);
                for (int i = 0; i < requests; ++i) {
                    const auto verb = i % sent_every == 0 ? http::method::get : http::method::del;
                    handles.push_back(client->perform_async_request(verb, "/", on_result));
                }
            });
        },
        ORQ_SOURCE_LOCATION);
    run_until_stopped();
    if (issuer.joinable()) {
        issuer.join();
    }
    EXPECT_EQ(done, requests);
    EXPECT_EQ(ok, requests);
    EXPECT_EQ(m_server.request_count(), static_cast<std::size_t>(requests / sent_every));
}

// Catches: connections not reused (one per request), results lost or
// duplicated under load, and races between workers (under TSan).
TEST_F(http_client_test, a_thousand_requests_over_ten_workers_use_few_connections) {
    constexpr int requests = 1000;
    auto client = make_client();
    std::vector<http::client::handle_ptr> handles;
    int ok = 0;
    int done = 0;
    for (int i = 0; i < requests; ++i) {
        const bool with_body = i % 2 == 0;
        handles.push_back(client->perform_async_request(with_body ? http::method::post : http::method::get, "/created",
                                                        with_body ? "{}" : "", [&](http::result _result) {
                                                            ok += _result.ok() ? 1 : 0;
                                                            if (++done == requests) {
                                                                m_loop->stop();
                                                            }
                                                        }));
    }
    run_until_stopped();
    EXPECT_EQ(ok, requests);
    EXPECT_EQ(m_server.request_count(), static_cast<std::size_t>(requests));
    EXPECT_LE(m_server.connection_count(), 20);
    // The synchronous path reuses the same connections.
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(client->perform_request(http::method::get, "/").ok());
    }
    EXPECT_LE(m_server.connection_count(), 20);
}

}  // namespace
