// Throughput of events_loop::post against a plain boost::asio::io_context in
// the same run, in handlers per second, posted from the loop's own thread
// (from inside a running handler) and from a second thread. The loop is
// measured with a lambda (the usual call) and with a ready-made
// std::function (the virtual overload).
//
//   events_loop_post_bench [handlers per round, default 1000000] [rounds, default 7]
//
// Each figure is the best of the rounds; the contenders alternate round by
// round, so that a change of load on a shared machine affects all alike.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

using namespace orq::libs::core;
using clock_type = std::chrono::steady_clock;

namespace {

// A queue under test: posts a handler that increments the counter.
struct asio_queue {
    boost::asio::io_context io;
    void post_increment(long& _counter) {
        boost::asio::post(io, [&_counter] { ++_counter; });
    }
    void post_other(std::function<void()> _handler) { boost::asio::post(io, std::move(_handler)); }
    void run() { io.run(); }
    auto make_work() { return std::make_optional(boost::asio::make_work_guard(io)); }
};

template <bool as_function>
struct loop_queue {
    explicit loop_queue(core& _core) : loop(_core.create_events_loop("bench")) {}
    events_loop::ptr loop;
    void post_increment(long& _counter) {
        if constexpr (as_function) {
            loop->post(std::function<void()>([&_counter] { ++_counter; }), source_location());
        } else {
            loop->post([&_counter] { ++_counter; }, source_location());
        }
    }
    void post_other(std::function<void()> _handler) { loop->post(std::move(_handler), source_location()); }
    void run() { loop->run(); }
    auto make_work() { return std::make_optional(loop->create_work()); }
};

template <typename Queue>
void check(const Queue&, long _counter, long _handlers) {
    if (_counter != _handlers) {
        std::fprintf(stderr, "%ld of %ld handlers ran\n", _counter, _handlers);
        std::exit(1);
    }
}

// Handlers per second, all posted by one handler running on the loop.
template <typename Queue>
double from_loop_thread(Queue& _queue, long _handlers) {
    long counter = 0;
    _queue.post_other([&] {
        for (long i = 0; i < _handlers; ++i) {
            _queue.post_increment(counter);
        }
    });
    const auto start = clock_type::now();
    _queue.run();
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    check(_queue, counter, _handlers);
    return static_cast<double>(_handlers) / elapsed;
}

// Handlers per second, posted by a second thread while the loop runs.
template <typename Queue>
double from_second_thread(Queue& _queue, long _handlers) {
    long counter = 0;
    auto work = _queue.make_work();
    const auto start = clock_type::now();
    std::thread poster([&] {
        for (long i = 0; i < _handlers; ++i) {
            _queue.post_increment(counter);
        }
        _queue.post_other([&work] { work.reset(); });
    });
    _queue.run();
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    poster.join();
    check(_queue, counter, _handlers);
    return static_cast<double>(_handlers) / elapsed;
}

struct figures {
    double plain = 0;
    double lambda = 0;
    double function = 0;
};

template <typename Measure>
figures measure(core& _core, int _rounds, long _handlers, Measure _measure) {
    figures best;
    for (int i = 0; i < _rounds; ++i) {
        {
            asio_queue queue;
            best.plain = std::max(best.plain, _measure(queue, _handlers));
        }
        {
            loop_queue<false> queue(_core);
            best.lambda = std::max(best.lambda, _measure(queue, _handlers));
        }
        {
            loop_queue<true> queue(_core);
            best.function = std::max(best.function, _measure(queue, _handlers));
        }
    }
    return best;
}

void report(const char* _case, const figures& _figures) {
    std::printf("%s\n", _case);
    std::printf("  io_context                  %12.0f handlers/s\n", _figures.plain);
    std::printf("  events_loop, lambda         %12.0f handlers/s   ratio %.2f\n", _figures.lambda,
                _figures.lambda / _figures.plain);
    std::printf("  events_loop, std::function  %12.0f handlers/s   ratio %.2f\n", _figures.function,
                _figures.function / _figures.plain);
}

}  // namespace

int main(int argc, char** argv) {
    const long handlers = argc > 1 ? std::max(1L, std::atol(argv[1])) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    logger log("events-loop-post-bench", "main");
    auto core = core::create(log);

    std::printf("post throughput, %ld handlers per round, best of %d rounds\n", handlers, rounds);
    report("posted from the loop thread:",
           measure(*core, rounds, handlers, [](auto& _queue, long _n) { return from_loop_thread(_queue, _n); }));
    report("posted from a second thread:",
           measure(*core, rounds, handlers, [](auto& _queue, long _n) { return from_second_thread(_queue, _n); }));
    return 0;
}
