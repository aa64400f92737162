// A client of a JSON service over HTTP: one synchronous GET from the main
// thread (it blocks until the transfer has ended), then three asynchronous
// POSTs whose results arrive on the event loop's thread, and an orderly stop
// once all of them are back. Exits 0 when every request got a 2xx answer,
// 1 otherwise.
//
//   orq-http-client <base address>     (for example orq-http-client http://127.0.0.1:8080)

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {
namespace core = orq::libs::core;

void report(const std::string& _request, const core::http::result& _result) {
    if (_result.ok()) {
        std::printf("%s: %d %s\n", _request.c_str(), *_result.status_code(), _result.data()->c_str());
    } else if (_result.status_code()) {
        std::printf("%s: %d %s\n", _request.c_str(), *_result.status_code(), _result.error().value_or("").c_str());
    } else {
        std::printf("%s: no response: %s\n", _request.c_str(), _result.error().value_or("").c_str());
    }
    std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <base address>\n", argv[0]);
        return 2;
    }
    core::logger log("orq-http-client", "main");
    const auto library = core::core::create(log);
    const auto loop = library->create_events_loop("main loop");
    // Every request's address is appended to the base; each transfer may take
    // up to ten seconds.
    const auto client = loop->create_http_client(argv[1], std::chrono::seconds(10));

    // Synchronous: the calling thread waits for the answer. Here, before the
    // loop runs, that holds up nothing; inside a handler it would hold up
    // every other handler of the loop until the answer came.
    const auto status = client->perform_request(core::http::method::get, "/status");
    report("GET /status", status);
    bool all_ok = status.ok();

    // Asynchronous: the requests run on the client's worker threads, their
    // callbacks on the loop's thread (so they share `pending` without a lock).
    // A request lives as long as its handle; the work object keeps run() from
    // returning while results are still on their way.
    auto work = loop->create_work();
    int pending = 3;
    std::vector<core::http::client::handle_ptr> requests;
    for (int item = 1; item <= 3; ++item) {
        requests.push_back(client->perform_async_request(core::http::method::post, "/items",
                                                         "{\"item\": " + std::to_string(item) + "}",
                                                         [&](const core::http::result& _result) {
                                                             report("POST /items", _result);
                                                             all_ok = all_ok && _result.ok();
                                                             if (--pending == 0) {
                                                                 work.reset();
                                                                 loop->stop();
                                                             }
                                                         }));
    }
    loop->run();
    return all_ok ? 0 : 1;
}
