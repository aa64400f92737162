// Redis commands per second against one local redis-server started by this
// program (no persistence), SET and GET of 100-byte values on one connection,
// the library against two baselines in the same run:
//
//   pipelined: the library's asynchronous commands, 64 in flight, each reply
//              issuing the next, against the plain hiredis asynchronous
//              client doing the same on a minimal Asio readiness loop (the
//              floor of any client built on hiredis), and against
//              redis-benchmark -c 1 -P 64 -t set,get -d 100
//   blocking:  the library's synchronous commands, one at a time, against
//              redis-benchmark -c 1 -P 1 -t set,get -d 100
//
// The library runs each command three times over: prepared once and executed
// again and again (as a command may be), built afresh for every request, and
// prepared with each slot's handle run again by restart().
//
// The server runs on CPU 0 and the clients on CPU 1 (when there are two).
// Rounds alternate which of the library and the plain client goes first; the
// figures are medians over the rounds, ratios the medians of each round's
// ratio, and client CPU per request the total over all rounds.
//
// Usage: redis_bench [pipelined requests per run] [blocking requests per run] [rounds]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include "redis_server.hpp"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

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
// With _restart, each slot's handle is made once and run again by restart()
// (its callback stays); otherwise every request makes a handle of its own.
struct pipeline {
    core::events_loop& m_loop;
    const std::function<redis::command&()>& m_next;
    int m_requests;
    bool m_restart;
    int m_sent = 0;
    int m_received = 0;
    std::vector<core::async_operation_handle<redis::reply>::ptr> m_slots =
        std::vector<core::async_operation_handle<redis::reply>::ptr>(in_flight);

    void issue(std::size_t _slot) {
        ++m_sent;
        auto& slot = m_slots[_slot];
        if (m_restart && slot) {
            slot->restart();
            return;
        }
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

double pipelined(core::events_loop& _loop, const std::function<redis::command&()>& _next, int _requests,
                 bool _restart = false) {
    pipeline state{_loop, _next, _requests, _restart};
    const auto start = clock_type::now();
    for (std::size_t slot = 0; slot < in_flight && state.m_sent < _requests; ++slot) {
        state.issue(slot);
    }
    _loop.run();
    const std::chrono::duration<double> elapsed = clock_type::now() - start;
    _loop.get_io_context().restart();
    return _requests / elapsed.count();
}

// The plain hiredis asynchronous client on a minimal Asio readiness loop: a
// stream_descriptor on a duplicate of hiredis' socket waits for readiness and
// calls redisAsyncHandleRead or redisAsyncHandleWrite; prepared commands go
// through redisAsyncFormattedCommand, in_flight at a time, each reply issuing
// the next.
class plain_client {
public:
    explicit plain_client(int _port) : m_descriptor(m_io) {
        m_context = redisAsyncConnect("127.0.0.1", _port);
        if (m_context == nullptr || m_context->err != 0) {
            throw std::runtime_error("plain client: no connection");
        }
        m_descriptor.assign(::dup(m_context->c.fd));
        m_context->data = this;
        m_context->ev.data = this;
        m_context->ev.addRead = [](void* _self) { static_cast<plain_client*>(_self)->want(m_want_read_flag, true); };
        m_context->ev.delRead = [](void* _self) { static_cast<plain_client*>(_self)->want(m_want_read_flag, false); };
        m_context->ev.addWrite = [](void* _self) { static_cast<plain_client*>(_self)->want(m_want_write_flag, true); };
        m_context->ev.delWrite = [](void* _self) { static_cast<plain_client*>(_self)->want(m_want_write_flag, false); };
        redisAsyncSetConnectCallback(m_context, [](const redisAsyncContext* _context, int _status) {
            auto* self = static_cast<plain_client*>(_context->data);
            self->m_connected = _status == REDIS_OK;
            self->m_io.stop();
        });
        m_io.run();
        m_io.restart();
        if (!m_connected) {
            throw std::runtime_error("plain client: no connection");
        }
    }

    ~plain_client() {
        m_context->ev = {};
        redisAsyncFree(m_context);
    }

    plain_client(const plain_client&) = delete;
    plain_client& operator=(const plain_client&) = delete;

    // Requests per second of _requests copies of the prepared _command.
    double run(const std::string& _command, int _requests) {
        m_command = &_command;
        m_requests = _requests;
        m_sent = m_received = 0;
        const auto start = clock_type::now();
        for (int slot = 0; slot < in_flight && m_sent < m_requests; ++slot) {
            issue();
        }
        m_io.run();
        const std::chrono::duration<double> elapsed = clock_type::now() - start;
        m_io.restart();
        return _requests / elapsed.count();
    }

private:
    static constexpr int m_want_read_flag = 0;
    static constexpr int m_want_write_flag = 1;

    void issue() {
        ++m_sent;
        if (redisAsyncFormattedCommand(m_context, &plain_client::on_reply, nullptr, m_command->data(),
                                       m_command->size()) != REDIS_OK) {
            throw std::runtime_error("plain client: cannot queue");
        }
    }

    static void on_reply(redisAsyncContext* _context, void* _reply, void* /*_privdata*/) {
        auto* self = static_cast<plain_client*>(_context->data);
        const auto* reply = static_cast<const redisReply*>(_reply);
        if (reply == nullptr || reply->type == REDIS_REPLY_ERROR || reply->type == REDIS_REPLY_NIL) {
            std::fprintf(stderr, "plain client: unexpected reply\n");
            std::exit(1);
        }
        if (++self->m_received == self->m_requests) {
            self->m_io.stop();
        } else if (self->m_sent < self->m_requests) {
            self->issue();
        }
    }

    void want(int _which, bool _on) {
        m_want[_which] = _on;
        arm();
    }

    void arm() {
        arm(m_want_read_flag, boost::asio::posix::stream_descriptor::wait_read, &redisAsyncHandleRead);
        arm(m_want_write_flag, boost::asio::posix::stream_descriptor::wait_write, &redisAsyncHandleWrite);
    }

    // One readiness wait for what hiredis wants, unless one is pending.
    void arm(int _which, boost::asio::posix::stream_descriptor::wait_type _wait, void (*_handle)(redisAsyncContext*)) {
        if (!m_want[_which] || m_waiting[_which]) {
            return;
        }
        m_waiting[_which] = true;
        m_descriptor.async_wait(_wait, [this, _which, _handle](const boost::system::error_code& _error) {
            m_waiting[_which] = false;
            if (!_error) {
                _handle(m_context);
                arm();
            }
        });
    }

    boost::asio::io_context m_io;
    boost::asio::posix::stream_descriptor m_descriptor;
    redisAsyncContext* m_context = nullptr;
    bool m_connected = false;
    bool m_want[2] = {false, false};
    bool m_waiting[2] = {false, false};
    const std::string* m_command = nullptr;
    int m_requests = 0;
    int m_sent = 0;
    int m_received = 0;
};

// A command in the protocol's form, as redisFormatCommandArgv writes it.
std::string prepared_text(const std::vector<std::string>& _words) {
    std::vector<const char*> argv;
    std::vector<std::size_t> argv_len;
    for (const auto& word : _words) {
        argv.push_back(word.data());
        argv_len.push_back(word.size());
    }
    char* text = nullptr;
    const long long length = redisFormatCommandArgv(&text, static_cast<int>(argv.size()), argv.data(), argv_len.data());
    if (length < 0) {
        throw std::runtime_error("cannot format a command");
    }
    std::string result(text, static_cast<std::size_t>(length));
    redisFreeCommand(text);
    return result;
}

double blocking(const std::function<redis::command&()>& _next, int _requests) {
    const auto start = clock_type::now();
    for (int i = 0; i < _requests; ++i) {
        _next().execute();
    }
    const std::chrono::duration<double> elapsed = clock_type::now() - start;
    return _requests / elapsed.count();
}

// Moves this process (and the children it starts from now on) to one CPU.
bool pin_to_cpu(int _cpu) {
    if (std::thread::hardware_concurrency() < 2) {
        return false;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(_cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

double median(std::vector<double> _values) {
    if (_values.empty()) {
        return 0;
    }
    std::sort(_values.begin(), _values.end());
    const std::size_t middle = _values.size() / 2;
    return _values.size() % 2 == 1 ? _values[middle] : (_values[middle - 1] + _values[middle]) / 2;
}

// Figures of every round, per command.
struct series {
    std::vector<double> set;
    std::vector<double> get;

    void add(const figures& _round) {
        set.push_back(_round.set);
        get.push_back(_round.get);
    }
    figures medians() const { return {median(set), median(get)}; }
    // Median of the round-by-round ratio to _base.
    figures ratios(const series& _base) const {
        std::vector<double> set_ratios, get_ratios;
        for (std::size_t i = 0; i < set.size(); ++i) {
            set_ratios.push_back(set[i] / _base.set[i]);
            get_ratios.push_back(get[i] / _base.get[i]);
        }
        return {median(set_ratios), median(get_ratios)};
    }
};

void report(const char* _what, const series& _ours, const series* _plain, const series& _theirs) {
    const figures rps = _ours.medians();
    const figures to_theirs = _ours.ratios(_theirs);
    std::printf("%-36s SET %10.0f/s GET %10.0f/s   of redis-benchmark: SET %.2f GET %.2f", _what, rps.set, rps.get,
                to_theirs.set, to_theirs.get);
    if (_plain != nullptr) {
        const figures to_plain = _ours.ratios(*_plain);
        std::printf("   of plain hiredis: SET %.2f GET %.2f", to_plain.set, to_plain.get);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int pipelined_requests = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int blocking_requests = argc > 2 ? std::atoi(argv[2]) : 50000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

    // The server on one core, the clients (and redis-benchmark) on another,
    // so that neither steals the other's time.
    const bool pinned = pin_to_cpu(0);
    orq::test::redis_server redis_server;
    if (pinned && !pin_to_cpu(1)) {
        std::fprintf(stderr, "cannot pin the clients to CPU 1: figures are unpinned\n");
    }
    core::logger logger("redis-bench", "main");
    auto library = core::core::create(logger);
    auto loop = library->create_events_loop("main loop");
    auto context = connect(*loop, redis_server.port());
    plain_client plain(redis_server.port());

    auto prepared_set = context->set(key, value);
    auto prepared_get = context->get(key);
    const std::string plain_set = prepared_text({"SET", key, value});
    const std::string plain_get = prepared_text({"GET", key});
    redis::command::ptr fresh;
    const auto fresh_set = [&]() -> redis::command& { return *(fresh = context->set(key, value)); };
    const auto fresh_get = [&]() -> redis::command& { return *(fresh = context->get(key)); };

    // Client CPU per pipelined request, a figure that the machine's load
    // distorts less than the rates: redis-benchmark's (a child), the plain
    // client's and ours (prepared SET and GET).
    double theirs_cpu = 0;
    double plain_cpu = 0;
    double ours_cpu = 0;
    series theirs_pipelined, plain_pipelined, ours_pipelined, ours_pipelined_fresh, ours_pipelined_restarted;
    series theirs_blocking, ours_blocking, ours_blocking_fresh;
    const auto run_plain = [&] {
        const double before = cpu_us(RUSAGE_SELF);
        plain_pipelined.add({plain.run(plain_set, pipelined_requests), plain.run(plain_get, pipelined_requests)});
        plain_cpu += cpu_us(RUSAGE_SELF) - before;
    };
    const auto run_ours = [&] {
        const double before = cpu_us(RUSAGE_SELF);
        ours_pipelined.add({pipelined(
                                *loop, [&]() -> redis::command& { return *prepared_set; }, pipelined_requests),
                            pipelined(
                                *loop, [&]() -> redis::command& { return *prepared_get; }, pipelined_requests)});
        ours_cpu += cpu_us(RUSAGE_SELF) - before;
    };
    for (int round = 0; round < rounds; ++round) {
        const double children_before = cpu_us(RUSAGE_CHILDREN);
        theirs_pipelined.add(redis_benchmark(redis_server.port(), in_flight, pipelined_requests));
        theirs_cpu += cpu_us(RUSAGE_CHILDREN) - children_before;
        if (round % 2 == 0) {
            run_plain();
            run_ours();
        } else {
            run_ours();
            run_plain();
        }
        ours_pipelined_fresh.add(
            {pipelined(*loop, fresh_set, pipelined_requests), pipelined(*loop, fresh_get, pipelined_requests)});
        ours_pipelined_restarted.add(
            {pipelined(
                 *loop, [&]() -> redis::command& { return *prepared_set; }, pipelined_requests, true),
             pipelined(
                 *loop, [&]() -> redis::command& { return *prepared_get; }, pipelined_requests, true)});
        theirs_blocking.add(redis_benchmark(redis_server.port(), 1, blocking_requests));
        ours_blocking.add({blocking([&]() -> redis::command& { return *prepared_set; }, blocking_requests),
                           blocking([&]() -> redis::command& { return *prepared_get; }, blocking_requests)});
        ours_blocking_fresh.add({blocking(fresh_set, blocking_requests), blocking(fresh_get, blocking_requests)});
    }

    std::printf("medians of %d rounds; %d pipelined and %d blocking requests per run, 100-byte values\n", rounds,
                pipelined_requests, blocking_requests);
    const figures theirs = theirs_pipelined.medians();
    std::printf("%-36s SET %10.0f/s GET %10.0f/s\n", "redis-benchmark -c 1 -P 64", theirs.set, theirs.get);
    report("plain hiredis, 64 in flight", plain_pipelined, nullptr, theirs_pipelined);
    report("async, 64 in flight, prepared", ours_pipelined, &plain_pipelined, theirs_pipelined);
    report("async, 64 in flight, fresh command", ours_pipelined_fresh, &plain_pipelined, theirs_pipelined);
    report("async, 64 in flight, handle restarted", ours_pipelined_restarted, &plain_pipelined, theirs_pipelined);
    const double pipelined_total = 2.0 * pipelined_requests * rounds;
    std::printf(
        "client CPU per pipelined request: redis-benchmark %.3f us, plain hiredis %.3f us, ours (prepared) "
        "%.3f us (%.2f of plain)\n",
        theirs_cpu / pipelined_total, plain_cpu / pipelined_total, ours_cpu / pipelined_total, ours_cpu / plain_cpu);
    const figures theirs_sync = theirs_blocking.medians();
    std::printf("%-36s SET %10.0f/s GET %10.0f/s\n", "redis-benchmark -c 1 -P 1", theirs_sync.set, theirs_sync.get);
    report("sync, prepared", ours_blocking, nullptr, theirs_blocking);
    report("sync, fresh command", ours_blocking_fresh, nullptr, theirs_blocking);
    return 0;
}
