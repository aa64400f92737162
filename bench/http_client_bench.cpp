// Requests per second of the HTTP client against plain libcurl, both talking
// to the same keep-alive HTTP/1.1 server on loopback in the same run:
//   - synchronous: our perform_request against a plain loop that reuses one
//     easy handle;
//   - asynchronous: our client with 10 workers and 32 requests in flight
//     against plain libcurl on 10 threads, each reusing its own easy handle,
//     and against plain libcurl behind the same hand-offs as the client
//     (queued to 10 threads, results posted back to the issuing thread).
//
//   http_client_bench [requests per round, default 10000] [rounds, default 9]
//
// The contenders alternate round by round, so that a change of load on a
// shared machine affects all alike. Printed: the best round of each, and the
// median over the rounds of ours / plain within the same round.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include "http_server.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace orq::libs::core;
using clock_type = std::chrono::steady_clock;

namespace {

constexpr int workers = 10;
constexpr int in_flight = 32;

std::size_t append(char* _data, std::size_t _size, std::size_t _count, void* _body) {
    static_cast<std::string*>(_body)->append(_data, _size * _count);
    return _size * _count;
}

// Requests per second of _run, which performs _requests requests.
double rate(int _requests, const std::function<void()>& _run) {
    const auto start = clock_type::now();
    _run();
    const std::chrono::duration<double> seconds = clock_type::now() - start;
    return _requests / seconds.count();
}

// Plain libcurl: _requests GETs on one reused easy handle; false on a failure.
bool plain_loop(const std::string& _url, int _requests) {
    CURL* const handle = curl_easy_init();
    std::string body;
    curl_easy_setopt(handle, CURLOPT_URL, _url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    bool ok = true;
    for (int i = 0; i < _requests; ++i) {
        body.clear();
        long status = 0;
        ok = curl_easy_perform(handle) == CURLE_OK && ok;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        ok = ok && status == 200;
    }
    curl_easy_cleanup(handle);
    return ok;
}

thread_local CURL* t_easy_handle = nullptr;

// Plain libcurl behind the same two hand-offs as the client, to tell their
// cost from the client's own: the calling thread queues requests (_in_flight
// at a time) to an io_context run by _threads threads, each with one reused
// easy handle, and each result is posted back to the calling thread, whose
// handler issues the next request. False on a failure.
bool plain_with_handoffs(const std::string& _url, int _requests, int _threads, int _in_flight) {
    boost::asio::io_context main_io;
    boost::asio::io_context worker_io;
    auto worker_work = boost::asio::make_work_guard(worker_io);
    std::vector<std::thread> threads;
    for (int t = 0; t < _threads; ++t) {
        threads.emplace_back([&] {
            t_easy_handle = curl_easy_init();
            worker_io.run();
            curl_easy_cleanup(t_easy_handle);
        });
    }
    bool ok = true;
    int sent = 0;
    int done = 0;
    std::function<void()> issue = [&] {
        boost::asio::post(worker_io, [&] {
            std::string body;
            curl_easy_setopt(t_easy_handle, CURLOPT_URL, _url.c_str());
            curl_easy_setopt(t_easy_handle, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(t_easy_handle, CURLOPT_WRITEFUNCTION, &append);
            curl_easy_setopt(t_easy_handle, CURLOPT_WRITEDATA, &body);
            long status = 0;
            const bool good = curl_easy_perform(t_easy_handle) == CURLE_OK &&
                              curl_easy_getinfo(t_easy_handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                              status == 200;
            boost::asio::post(main_io, [&, good] {
                ok = good && ok;
                if (++done == _requests) {
                    main_io.stop();
                } else if (sent < _requests) {
                    ++sent;
                    issue();
                }
            });
        });
    };
    for (; sent < std::min(_in_flight, _requests); ++sent) {
        issue();
    }
    auto main_work = boost::asio::make_work_guard(main_io);
    main_io.run();
    worker_work.reset();
    worker_io.stop();
    for (auto& thread : threads) {
        thread.join();
    }
    return ok;
}

double best(const std::vector<double>& _rates) {
    return *std::max_element(_rates.begin(), _rates.end());
}

double median_ratio(const std::vector<double>& _ours, const std::vector<double>& _plain) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < _ours.size(); ++i) {
        ratios.push_back(_ours[i] / _plain[i]);
    }
    std::sort(ratios.begin(), ratios.end());
    const std::size_t middle = ratios.size() / 2;
    return ratios.size() % 2 != 0 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
}

void report(const char* _what, const std::vector<double>& _ours, const std::vector<double>& _plain) {
    std::printf(
        "%s\n  best round: ours %.0f req/s, plain libcurl %.0f req/s, ratio %.3f\n"
        "  median of same-round ratios ours/plain: %.3f\n",
        _what, best(_ours), best(_plain), best(_ours) / best(_plain), median_ratio(_ours, _plain));
}

}  // namespace

int main(int _argc, char** _argv) {
    const int requests = _argc > 1 ? std::atoi(_argv[1]) : 10000;
    const int rounds = _argc > 2 ? std::atoi(_argv[2]) : 9;
    if (requests < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [requests per round] [rounds]\n", _argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    // Two server threads, the requests only counted.
    orq::test::http_server server({}, 2, false);
    const std::string url = server.base_url() + "/";

    logger log("http-client-bench", "main");
    auto core = core::create(log);
    auto loop = core->create_events_loop("main loop");
    auto sync_client = loop->create_http_client(server.base_url(), std::chrono::seconds(30), {}, 1);
    auto async_client = loop->create_http_client(server.base_url(), std::chrono::seconds(30), {}, workers);

    std::vector<double> ours_sync;
    std::vector<double> plain_sync;
    std::vector<double> ours_async;
    std::vector<double> plain_async;
    std::vector<double> plain_handoffs;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        ours_sync.push_back(rate(requests, [&] {
            for (int i = 0; i < requests; ++i) {
                ok = sync_client->perform_request(http::method::get, "/").ok() && ok;
            }
        }));
        plain_sync.push_back(rate(requests, [&] { ok = plain_loop(url, requests) && ok; }));

        ours_async.push_back(rate(requests, [&] {
            // Each completion issues the next request
            // until all have been sent.
            int sent = 0;
            int done = 0;
            std::vector<http::client::handle_ptr> handles;
            std::function<void(http::result)> on_result = [&](http::result _result) {
                ok = _result.ok() && ok;
                if (++done == requests) {
                    loop->stop();
                } else if (sent < requests) {
                    ++sent;
                    handles.push_back(async_client->perform_async_request(http::method::get, "/", on_result));
                }
            };
            for (; sent < std::min(in_flight, requests); ++sent) {
                handles.push_back(async_client->perform_async_request(http::method::get, "/", on_result));
            }
            loop->get_io_context().restart();
            auto work = loop->create_work();
            loop->run();
        }));
        plain_async.push_back(rate(requests, [&] {
            std::vector<std::thread> threads;
            std::atomic<bool> all_ok{true};
            for (int t = 0; t < workers; ++t) {
                const int share = requests / workers + (t < requests % workers ? 1 : 0);
                threads.emplace_back([&, share] {
                    if (!plain_loop(url, share)) {
                        all_ok = false;
                    }
                });
            }
            for (auto& thread : threads) {
                thread.join();
            }
            ok = all_ok && ok;
        }));
        plain_handoffs.push_back(
            rate(requests, [&] { ok = plain_with_handoffs(url, requests, workers, in_flight) && ok; }));
    }

    std::printf("requests per round: %d, rounds: %d\n", requests, rounds);
    report("synchronous (plain: one reused handle)", ours_sync, plain_sync);
    std::printf("asynchronous: ours %d workers, %d requests in flight; plain %d threads, one reused handle each\n",
                workers, in_flight, workers);
    report("asynchronous", ours_async, plain_async);
    report("asynchronous against plain libcurl behind the same two thread hand-offs", ours_async, plain_handoffs);
    std::printf("server connections: %d\n", server.connection_count());
    if (!ok) {
        std::printf("SOME REQUESTS FAILED\n");
        return 1;
    }
    return 0;
}
