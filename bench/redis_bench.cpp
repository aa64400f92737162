// Redis commands per second against one local redis-server started by this
// program (no persistence), the library against redis-benchmark in the same
// run, SET and GET of 100-byte values on one connection:
//
//   pipelined: the library's asynchronous commands, 64 in flight, against
//              redis-benchmark -c 1 -P 64 -t set,get -d 100
//   blocking:  the library's synchronous commands, one at a time, against
//              redis-benchmark -c 1 -P 1 -t set,get -d 100
//
// The library runs each command twice over: prepared once and executed again
// and again (as a command may be), and built afresh for every request.
//
// Usage: redis_bench [pipelined requests per run] [blocking requests per run] [runs];
// the best run counts.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include "redis_server.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = orq::libs::core;
namespace redis = orq::libs::core::redis;
using clock_type = std::chrono::steady_clock;

namespace {

// redis-benchmark's key when no -r is given, and a value of -d 100.
const std::string key = "key:__rand_int__";
const std::string value(100, 'x');
constexpr int in_flight = 64;

struct figures {
    double set = 0;
    double get = 0;
};

// CPU time (user + system) in microseconds, of this process or of its
// waited-for children.
double cpu_us(int _who) {
    rusage usage{};
    ::getrusage(_who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

// redis-benchmark's requests per second for SET and GET, from its CSV output.
figures redis_benchmark(int _port, int _pipeline, int _requests) {
    const std::string command = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(_port) + " -c 1 -P " +
                                std::to_string(_pipeline) + " -t set,get -d 100 -n " + std::to_string(_requests) +
                                " --csv 2>/dev/null";
    FILE* output = ::popen(command.c_str(), "r");
    if (output == nullptr) {
        throw std::runtime_error("cannot run redis-benchmark");
    }
    figures result;
    char line[512];
    while (std::fgets(line, sizeof line, output) != nullptr) {
        double rps = 0;
        if (std::sscanf(line, "\"SET\",\"%lf\"", &rps) == 1) {
            result.set = rps;
        } else if (std::sscanf(line, "\"GET\",\"%lf\"", &rps) == 1) {
            result.get = rps;
        }
    }
    ::pclose(output);
    return result;
}

redis::context::ptr connect(core::events_loop& _loop, int _port) {
    auto handle = _loop.create_redis_context("127.0.0.1", _port, 0);
    redis::context::ptr context;
    handle->set_callback([&](boost::optional<redis::context::ptr> _result) {
        if (_result) {
            context = std::move(*_result);
        }
        _loop.stop();
    });
    _loop.run();
    _loop.get_io_context().restart();
    if (!context) {
        throw std::runtime_error("no connection");
    }
    return context;
}

// Requests per second of _requests asynchronous commands, in_flight at a time:
// each reply issues the next command in its slot.
struct pipeline {
    core::events_loop& m_loop;
    const std::function<redis::command&()>& m_next;
    int m_requests;
    int m_sent = 0;
    int m_received = 0;
    std::vector<core::async_operation_handle<redis::reply>::ptr> m_slots =
        std::vector<core::async_operation_handle<redis::reply>::ptr>(in_flight);

    void issue(std::size_t _slot) {
        ++m_sent;
        auto& slot = m_slots[_slot];
        slot = m_next().execute_async();
        // Two words, so the callback needs no allocation of its own.
        slot->set_callback([this, _slot](redis::reply _reply) {
            if (_reply.get_type() == redis::reply_type::ERROR || _reply.get_type() == redis::reply_type::NIL) {
                throw std::runtime_error("unexpected reply");
            }
            if (++m_received == m_requests) {
                m_loop.stop();
            } else if (m_sent < m_requests) {
                issue(_slot);
            }
        });
    }
};

double pipelined(core::events_loop& _loop, const std::function<redis::command&()>& _next, int _requests) {
    pipeline state{_loop, _next, _requests};
    const auto start = clock_type::now();
    for (std::size_t slot = 0; slot < in_flight && state.m_sent < _requests; ++slot) {
        state.issue(slot);
    }
    _loop.run();
    const std::chrono::duration<double> elapsed = clock_type::now() - start;
    _loop.get_io_context().restart();
    return _requests / elapsed.count();
}

double blocking(const std::function<redis::command&()>& _next, int _requests) {
    const auto start = clock_type::now();
    for (int i = 0; i < _requests; ++i) {
        _next().execute();
    }
    const std::chrono::duration<double> elapsed = clock_type::now() - start;
    return _requests / elapsed.count();
}

void report(const char* _what, const figures& _ours, const figures& _theirs) {
    std::printf("%-36s SET %10.0f/s (%.2f of redis-benchmark)   GET %10.0f/s (%.2f)\n", _what, _ours.set,
                _ours.set / _theirs.set, _ours.get, _ours.get / _theirs.get);
}

}  // namespace

int main(int argc, char** argv) {
    const int pipelined_requests = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int blocking_requests = argc > 2 ? std::atoi(argv[2]) : 50000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

    orq::test::redis_server redis_server;
    core::logger logger("redis-bench", "main");
    auto library = core::core::create(logger);
    auto loop = library->create_events_loop("main loop");
    auto context = connect(*loop, redis_server.port());

    auto prepared_set = context->set(key, value);
    auto prepared_get = context->get(key);
    redis::command::ptr fresh;
    const auto fresh_set = [&]() -> redis::command& { return *(fresh = context->set(key, value)); };
    const auto fresh_get = [&]() -> redis::command& { return *(fresh = context->get(key)); };
    const auto best = [](figures& _best, const figures& _run) {
        _best.set = std::max(_best.set, _run.set);
        _best.get = std::max(_best.get, _run.get);
    };

    // Client CPU per pipelined request, a figure that the machine's load does
    // not distort: redis-benchmark's (a child) against ours (prepared SET+GET).
    double theirs_cpu = 0;
    double ours_cpu = 0;
    figures theirs_pipelined, ours_pipelined, ours_pipelined_fresh;
    figures theirs_blocking, ours_blocking, ours_blocking_fresh;
    for (int run = 0; run < runs; ++run) {
        const double children_before = cpu_us(RUSAGE_CHILDREN);
        best(theirs_pipelined, redis_benchmark(redis_server.port(), in_flight, pipelined_requests));
        theirs_cpu += cpu_us(RUSAGE_CHILDREN) - children_before;
        const double self_before = cpu_us(RUSAGE_SELF);
        best(ours_pipelined, {pipelined(
                                  *loop, [&]() -> redis::command& { return *prepared_set; }, pipelined_requests),
                              pipelined(
                                  *loop, [&]() -> redis::command& { return *prepared_get; }, pipelined_requests)});
        ours_cpu += cpu_us(RUSAGE_SELF) - self_before;
        best(ours_pipelined_fresh,
             {pipelined(*loop, fresh_set, pipelined_requests), pipelined(*loop, fresh_get, pipelined_requests)});
        best(theirs_blocking, redis_benchmark(redis_server.port(), 1, blocking_requests));
        best(ours_blocking, {blocking([&]() -> redis::command& { return *prepared_set; }, blocking_requests),
                             blocking([&]() -> redis::command& { return *prepared_get; }, blocking_requests)});
        best(ours_blocking_fresh, {blocking(fresh_set, blocking_requests), blocking(fresh_get, blocking_requests)});
    }

    std::printf("best of %d runs; %d pipelined and %d blocking requests per run, 100-byte values\n", runs,
                pipelined_requests, blocking_requests);
    std::printf("%-36s SET %10.0f/s                             GET %10.0f/s\n", "redis-benchmark -c 1 -P 64",
                theirs_pipelined.set, theirs_pipelined.get);
    report("async, 64 in flight, prepared", ours_pipelined, theirs_pipelined);
    report("async, 64 in flight, fresh command", ours_pipelined_fresh, theirs_pipelined);
    const double pipelined_total = 2.0 * pipelined_requests * runs;
    std::printf("client CPU per pipelined request: redis-benchmark %.3f us, ours (prepared) %.3f us\n",
                theirs_cpu / pipelined_total, ours_cpu / pipelined_total);
    std::printf("%-36s SET %10.0f/s                             GET %10.0f/s\n", "redis-benchmark -c 1 -P 1",
                theirs_blocking.set, theirs_blocking.get);
    report("sync, prepared", ours_blocking, theirs_blocking);
    report("sync, fresh command", ours_blocking_fresh, theirs_blocking);
    return 0;
}
