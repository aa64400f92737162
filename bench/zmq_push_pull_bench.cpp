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

#include <impl/zmq/manager_impl.hpp>

#include "zmq_peers.hpp"

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace core = orq::libs::core;
namespace ozmq = orq::libs::core::zmq;
using orq::test::zmq_peers::plain_socket;

namespace {

constexpr std::size_t frame_size = 100;

using clock_type = std::chrono::steady_clock;

void plain_send_frames(plain_socket& _socket, std::uint64_t _count) {
    const std::string payload(frame_size, 'x');
    for (std::uint64_t i = 0; i < _count; ++i) {
        _socket.get().send(::zmq::buffer(payload), ::zmq::send_flags::none);
    }
}

void plain_receive_frames(plain_socket& _socket, std::uint64_t _count) {
    ::zmq::message_t frame;
    for (std::uint64_t i = 0; i < _count; ++i) {
        (void)_socket.get().recv(frame);
    }
}

// Frames per second of _count frames received with a plain blocking loop; the
// clock starts once a first (warm-up) frame has arrived, so connection set-up
// does not count.
double plain_receive_rate(plain_socket& _socket, std::uint64_t _count) {
    plain_receive_frames(_socket, 1);
    const auto started = clock_type::now();
    plain_receive_frames(_socket, _count);
    return double(_count) / std::chrono::duration<double>(clock_type::now() - started).count();
}

double receive_plain(std::uint64_t _count) {
    plain_socket push(::zmq::socket_type::push);
    plain_socket pull(::zmq::socket_type::pull);
    pull.connect(push.bind_loopback());
    std::thread sender([&] { plain_send_frames(push, _count + 1); });
    const double rate = plain_receive_rate(pull, _count);
    sender.join();
    return rate;
}

double receive_library(std::uint64_t _count, const core::component_logger& _logger) {
    plain_socket push(::zmq::socket_type::push);
    boost::asio::io_context io;
    ozmq::manager_impl manager(io, _logger);
    auto pull = manager.connect(ozmq::socket::type::pull, push.bind_loopback());
    std::uint64_t received = 0;
    clock_type::time_point started;
    pull->set_receive_callback([&](ozmq::message&) {
        if (received++ == 0) {
            started = clock_type::now();
        } else if (received == _count + 1) {
            io.stop();
        }
    });
    std::thread sender([&] { plain_send_frames(push, _count + 1); });
    io.run();
    const auto elapsed = clock_type::now() - started;
    sender.join();
    return double(_count) / std::chrono::duration<double>(elapsed).count();
}

double send_plain(std::uint64_t _count) {
    plain_socket pull(::zmq::socket_type::pull);
    plain_socket push(::zmq::socket_type::push);
    push.connect(pull.bind_loopback());
    auto rate = std::async(std::launch::async, [&] { return plain_receive_rate(pull, _count); });
    plain_send_frames(push, _count + 1);
    return rate.get();
}

double send_library(std::uint64_t _count, const core::component_logger& _logger) {
    plain_socket pull(::zmq::socket_type::pull);
    boost::asio::io_context io;
    ozmq::manager_impl manager(io, _logger);
    auto push = manager.connect(ozmq::socket::type::push, pull.bind_loopback());
    auto rate = std::async(std::launch::async, [&] { return plain_receive_rate(pull, _count); });
    const std::string payload(frame_size, 'x');
    for (std::uint64_t i = 0; i < _count + 1; ++i) {
        push->send(ozmq::message(payload));
    }
    return rate.get();
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

    std::printf("PUSH -> PULL over tcp://127.0.0.1, %zu-byte frames, %llu frames per run, best of %d\n", frame_size,
                static_cast<unsigned long long>(count), runs);

    const double plain_in = best_of(runs, [&] { return receive_plain(count); });
    const double library_in = best_of(runs, [&] { return receive_library(count, logger); });
    const double plain_out = best_of(runs, [&] { return send_plain(count); });
    const double library_out = best_of(runs, [&] { return send_library(count, logger); });

    std::printf("%-48s %12.0f frames/s\n", "receive: plain blocking zmq_msg_recv loop", plain_in);
    std::printf("%-48s %12.0f frames/s  (ratio %.2f)\n", "receive: library PULL, callback on io_context", library_in,
                library_in / plain_in);
    std::printf("%-48s %12.0f frames/s\n", "send: plain blocking zmq_msg_send loop", plain_out);
    std::printf("%-48s %12.0f frames/s  (ratio %.2f)\n", "send: library PUSH send()", library_out,
                library_out / plain_out);
    return 0;
}
