// Frames per second from PUSH to PULL over loopback TCP, 100-byte frames:
// the library's sockets on an io_context against plain blocking libzmq loops
// in the same run.
//
//   receive: plain PUSH (thread) -> PULL: plain blocking zmq_msg_recv loop
//            versus the library's PULL socket with a receive callback
//   send:    PUSH -> plain PULL (thread): plain blocking zmq_msg_send loop
//            versus the library's PUSH socket's send()
//
// Usage: zmq_push_pull_bench [frames per run] [runs]; the best run counts.

#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

#include "../libs/cpp-libraries/core/src/impl/zmq/manager_impl.hpp"

#include <boost/asio/io_context.hpp>

#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace core = orq::libs::core;
namespace ozmq = orq::libs::core::zmq;

namespace {

constexpr std::size_t frame_size = 100;

using clock_type = std::chrono::steady_clock;

void check(bool _ok, const char* _what) {
    if (!_ok) {
        throw std::runtime_error(std::string(_what) + ": " + ::zmq_strerror(::zmq_errno()));
    }
}

// A plain libzmq socket on its own context, bound to a loopback port.
struct plain_endpoint {
    explicit plain_endpoint(int _type) {
        context = ::zmq_ctx_new();
        socket = ::zmq_socket(context, _type);
        const int linger = 0;
        ::zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
        check(::zmq_bind(socket, "tcp://127.0.0.1:*") == 0, "bind");
        char buffer[256];
        std::size_t size = sizeof buffer;
        ::zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, buffer, &size);
        address = buffer;
    }
    ~plain_endpoint() {
        ::zmq_close(socket);
        ::zmq_ctx_term(context);
    }
    void* context;
    void* socket;
    std::string address;
};

void plain_send_frames(void* _socket, std::uint64_t _count) {
    const std::string payload(frame_size, 'x');
    for (std::uint64_t i = 0; i < _count; ++i) {
        check(::zmq_send(_socket, payload.data(), payload.size(), 0) >= 0, "send");
    }
}

void plain_receive_frames(void* _socket, std::uint64_t _count) {
    zmq_msg_t frame;
    ::zmq_msg_init(&frame);
    for (std::uint64_t i = 0; i < _count; ++i) {
        check(::zmq_msg_recv(&frame, _socket, 0) >= 0, "receive");
    }
    ::zmq_msg_close(&frame);
}

// Frames per second of one run; the clock starts once the first (warm-up)
// frame has arrived, so connection set-up does not count.
double receive_plain(std::uint64_t _count) {
    plain_endpoint push(ZMQ_PUSH);
    void* context = ::zmq_ctx_new();
    void* pull = ::zmq_socket(context, ZMQ_PULL);
    check(::zmq_connect(pull, push.address.c_str()) == 0, "connect");
    std::thread sender([&] { plain_send_frames(push.socket, _count + 1); });
    plain_receive_frames(pull, 1);
    const auto started = clock_type::now();
    plain_receive_frames(pull, _count);
    const auto elapsed = clock_type::now() - started;
    sender.join();
    ::zmq_close(pull);
    ::zmq_ctx_term(context);
    return double(_count) / std::chrono::duration<double>(elapsed).count();
}

double receive_library(std::uint64_t _count, const core::component_logger& _logger) {
    plain_endpoint push(ZMQ_PUSH);
    boost::asio::io_context io;
    ozmq::manager_impl manager(io, _logger);
    auto pull = manager.connect(ozmq::socket::type::pull, push.address);
    std::uint64_t received = 0;
    clock_type::time_point started;
    pull->set_receive_callback([&](ozmq::message&) {
        if (received++ == 0) {
            started = clock_type::now();
        } else if (received == _count + 1) {
            io.stop();
        }
    });
    std::thread sender([&] { plain_send_frames(push.socket, _count + 1); });
    io.run();
    const auto elapsed = clock_type::now() - started;
    sender.join();
    return double(_count) / std::chrono::duration<double>(elapsed).count();
}

double send_plain(std::uint64_t _count) {
    plain_endpoint pull(ZMQ_PULL);
    void* context = ::zmq_ctx_new();
    void* push = ::zmq_socket(context, ZMQ_PUSH);
    check(::zmq_connect(push, pull.address.c_str()) == 0, "connect");
    clock_type::time_point started;
    std::thread receiver([&] {
        plain_receive_frames(pull.socket, 1);
        started = clock_type::now();
        plain_receive_frames(pull.socket, _count);
    });
    plain_send_frames(push, _count + 1);
    receiver.join();
    const auto elapsed = clock_type::now() - started;
    ::zmq_close(push);
    ::zmq_ctx_term(context);
    return double(_count) / std::chrono::duration<double>(elapsed).count();
}

double send_library(std::uint64_t _count, const core::component_logger& _logger) {
    plain_endpoint pull(ZMQ_PULL);
    boost::asio::io_context io;
    ozmq::manager_impl manager(io, _logger);
    auto push = manager.connect(ozmq::socket::type::push, pull.address);
    clock_type::time_point started;
    std::thread receiver([&] {
        plain_receive_frames(pull.socket, 1);
        started = clock_type::now();
        plain_receive_frames(pull.socket, _count);
    });
    const std::string payload(frame_size, 'x');
    for (std::uint64_t i = 0; i < _count + 1; ++i) {
        push->send(ozmq::message(payload));
    }
    receiver.join();
    const auto elapsed = clock_type::now() - started;
    return double(_count) / std::chrono::duration<double>(elapsed).count();
}

double best_of(int _runs, const std::function<double()>& _run) {
    double best = 0;
    for (int i = 0; i < _runs; ++i) {
        best = std::max(best, _run());
    }
    return best;
}

}  // namespace

int main(int _argc, char** _argv) {
    const std::uint64_t count = _argc > 1 ? std::strtoull(_argv[1], nullptr, 10) : 2'000'000;
    const int runs = _argc > 2 ? std::atoi(_argv[2]) : 3;
    core::logger logger("zmq-push-pull-bench", "bench");

    std::printf("PUSH -> PULL over tcp://127.0.0.1, %zu-byte frames, %llu frames per run, best of %d\n",
                frame_size, static_cast<unsigned long long>(count), runs);

    const double plain_in = best_of(runs, [&] { return receive_plain(count); });
    const double library_in = best_of(runs, [&] { return receive_library(count, logger); });
    const double plain_out = best_of(runs, [&] { return send_plain(count); });
    const double library_out = best_of(runs, [&] { return send_library(count, logger); });

    std::printf("%-48s %12.0f frames/s\n", "receive: plain blocking zmq_msg_recv loop", plain_in);
    std::printf("%-48s %12.0f frames/s  (ratio %.2f)\n", "receive: library PULL, callback on io_context",
                library_in, library_in / plain_in);
    std::printf("%-48s %12.0f frames/s\n", "send: plain blocking zmq_msg_send loop", plain_out);
    std::printf("%-48s %12.0f frames/s  (ratio %.2f)\n", "send: library PUSH send()", library_out,
                library_out / plain_out);
    return 0;
}
