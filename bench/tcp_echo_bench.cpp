// Bytes per second echoed over one loopback TCP connection: the library's
// socket, once with send_some (the unsent rest kept by the echo and sent from
// the can-send callback) and once with send (the socket queues the rest),
// against a plain Boost.Asio echo (async_read_some + async_write) in the same
// run. A plain client writes the bytes in writes of the given size
// and reads the echo, either streaming (writes on one thread, reads on
// another) or in lockstep (each write waits for its echo); a run ends when
// all bytes are back. Runs alternate between the two servers; the median run of each
// counts (the three servers take turns). Besides bytes per second of wall-clock time, the bytes per
// CPU-second of the server's thread are printed: what the echo costs, which
// other load on the machine does not skew.
//
// Usage: tcp_echo_bench [MiB per run, 64 KiB writes streamed] [MiB per run,
//        100-byte writes streamed] [KiB per run, 100-byte writes in lockstep]
//        [runs]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "socket_peers.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = orq::libs::core;
namespace asio = boost::asio;
using namespace orq::test::socket_peers;

namespace {

using clock_type = std::chrono::steady_clock;

// Bytes per second of wall-clock time, and bytes per CPU-second of the
// server's thread (what the echo costs, whatever else the machine runs).
struct rates {
    double wall = 0;
    double cpu = 0;
};

// Writes _total bytes in writes of _write_size and reads them back; the
// seconds from the first write to the last byte read. Streaming: a writer
// thread writes flat out while this thread reads. Lockstep: each write waits
// for its echo, so the server reads exactly one write at a time.
double client_run(int _port, std::size_t _total, std::size_t _write_size, bool _lockstep) {
    const plain_fd connection = plain_connect(_port);
    const int fd = connection.get();
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string chunk(_write_size, 'x');
    std::vector<char> buffer(1 << 20);
    const auto read_all = [&](std::size_t _size) {
        for (std::size_t received = 0; received < _size;) {
            const auto n = ::recv(fd, buffer.data(), std::min(buffer.size(), _size - received), 0);
            check(n > 0, "recv");
            received += static_cast<std::size_t>(n);
        }
    };
    const auto started = clock_type::now();
    if (_lockstep) {
        for (std::size_t done = 0; done < _total; done += _write_size) {
            send_all(fd, chunk);
            read_all(_write_size);
        }
    } else {
        std::thread writer([&] {
            for (std::size_t done = 0; done < _total; done += _write_size) {
                send_all(fd, chunk);
            }
        });
        read_all(_total);
        writer.join();
    }
    return std::chrono::duration<double>(clock_type::now() - started).count();
}

// The library's echo: whatever send_some does not take now waits in
// m_pending until the can-send callback.
class library_echo {
public:
    explicit library_echo(core::tcp::socket::ptr _socket) : m_socket(std::move(_socket)) {
        m_socket->set_can_send_callback([this] { flush(); });
        m_socket->set_receive_callback([this](boost::string_view _chunk) {
            if (m_pending.size() == m_sent) {
                const std::size_t taken = m_socket->send_some(_chunk);
                if (taken == _chunk.size()) {
                    return;
                }
                _chunk.remove_prefix(taken);
                m_socket->notify_that_send_is_possible();
            }
            m_pending.append(_chunk.data(), _chunk.size());
        });
    }

private:
    void flush() {
        m_sent += m_socket->send_some(boost::string_view(m_pending).substr(m_sent));
        if (m_sent == m_pending.size()) {
            m_pending.clear();
            m_sent = 0;
        } else {
            m_socket->notify_that_send_is_possible();
        }
    }

    core::tcp::socket::ptr m_socket;
    std::string m_pending;
    std::size_t m_sent = 0;
};

// The library's echo on send: the socket queues what the kernel does not take.
class library_send_echo {
public:
    explicit library_send_echo(core::tcp::socket::ptr _socket) : m_socket(std::move(_socket)) {
        m_socket->set_receive_callback([this](boost::string_view _chunk) { m_socket->send(_chunk); });
    }

private:
    core::tcp::socket::ptr m_socket;
};

template <typename Echo>
rates library_run(core::core& _core, std::size_t _total, std::size_t _write_size, bool _lockstep) {
    auto loop = _core.create_events_loop("main loop");
    auto acceptor = loop->get_tcp().listen("127.0.0.1", 0);
    const int port = acceptor->local_endpoint().port();
    std::unique_ptr<Echo> echo;
    acceptor->set_callback([&](core::tcp::socket::ptr _socket) { echo = std::make_unique<Echo>(std::move(_socket)); });
    auto work = loop->create_work();
    double cpu = 0;
    std::thread server([&] {
        const double started = orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        loop->run();
        cpu = orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - started;
    });
    const double seconds = client_run(port, _total, _write_size, _lockstep);
    loop->stop();
    server.join();
    echo.reset();
    acceptor.reset();
    return {double(_total) / seconds, double(_total) / cpu};
}

// The plain Boost.Asio echo: read some, write it all, read again.
class asio_echo : public std::enable_shared_from_this<asio_echo> {
public:
    explicit asio_echo(asio::ip::tcp::socket _socket) : m_socket(std::move(_socket)), m_buffer(65536) {}
    void read() {
        m_socket.async_read_some(
            asio::buffer(m_buffer),
            [self = shared_from_this()](const boost::system::error_code& _error, std::size_t _length) {
                if (!_error) {
                    self->write(_length);
                }
            });
    }

private:
    void write(std::size_t _length) {
        asio::async_write(m_socket, asio::buffer(m_buffer.data(), _length),
                          [self = shared_from_this()](const boost::system::error_code& _error, std::size_t) {
                              if (!_error) {
                                  self->read();
                              }
                          });
    }

    asio::ip::tcp::socket m_socket;
    std::vector<char> m_buffer;
};

rates asio_run(std::size_t _total, std::size_t _write_size, bool _lockstep) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor.async_accept([](const boost::system::error_code& _error, asio::ip::tcp::socket _socket) {
        if (!_error) {
            std::make_shared<asio_echo>(std::move(_socket))->read();
        }
    });
    auto work = asio::make_work_guard(io);
    double cpu = 0;
    std::thread server([&] {
        const double started = orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        io.run();
        cpu = orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - started;
    });
    const double seconds = client_run(acceptor.local_endpoint().port(), _total, _write_size, _lockstep);
    io.stop();
    server.join();
    return {double(_total) / seconds, double(_total) / cpu};
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

void compare(core::core& _core, std::size_t _total, std::size_t _write_size, bool _lockstep, int _runs) {
    std::vector<double> plain_wall;
    std::vector<double> plain_cpu;
    std::vector<double> library_wall;
    std::vector<double> library_cpu;
    std::vector<double> send_wall;
    std::vector<double> send_cpu;
    for (int i = 0; i < _runs; ++i) {
        const rates plain = asio_run(_total, _write_size, _lockstep);
        const rates library = library_run<library_echo>(_core, _total, _write_size, _lockstep);
        const rates queued = library_run<library_send_echo>(_core, _total, _write_size, _lockstep);
        plain_wall.push_back(plain.wall);
        plain_cpu.push_back(plain.cpu);
        library_wall.push_back(library.wall);
        library_cpu.push_back(library.cpu);
        send_wall.push_back(queued.wall);
        send_cpu.push_back(queued.cpu);
    }
    const double mib = 1 << 20;
    std::printf("%zu-byte writes, %s, %.1f MiB per run (medians):\n", _write_size,
                _lockstep ? "each waiting for its echo" : "streamed", double(_total) / (1 << 20));
    std::printf("  plain Asio echo  %8.1f MiB/s  %8.1f MiB per server CPU-second\n", median(plain_wall) / mib,
                median(plain_cpu) / mib);
    std::printf("  library send_some %7.1f MiB/s  %8.1f MiB per server CPU-second\n", median(library_wall) / mib,
                median(library_cpu) / mib);
    std::printf("  library send     %8.1f MiB/s  %8.1f MiB per server CPU-second\n", median(send_wall) / mib,
                median(send_cpu) / mib);
    std::printf("  ratio send_some  %8.2f        %8.2f\n", median(library_wall) / median(plain_wall),
                median(library_cpu) / median(plain_cpu));
    std::printf("  ratio send       %8.2f        %8.2f\n", median(send_wall) / median(plain_wall),
                median(send_cpu) / median(plain_cpu));
}

}  // namespace

int main(int _argc, char** _argv) {
    const std::size_t large_mib = _argc > 1 ? std::strtoull(_argv[1], nullptr, 10) : 256;
    const std::size_t small_mib = _argc > 2 ? std::strtoull(_argv[2], nullptr, 10) : 8;
    const std::size_t small_kib = _argc > 3 ? std::strtoull(_argv[3], nullptr, 10) : 2000;
    const int runs = _argc > 4 ? std::atoi(_argv[4]) : 9;
    core::logger logger("tcp-echo-bench", "bench");
    auto root = core::core::create(logger);
    std::printf("TCP echo over 127.0.0.1, one connection, plain blocking client, %d runs each\n", runs);
    compare(*root, large_mib << 20, 65536, false, runs);
    compare(*root, small_mib << 20, 100, false, runs);
    compare(*root, small_kib << 10, 100, true, runs);
    return 0;
}
