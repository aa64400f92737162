// Bytes per second echoed over one loopback TCP connection: the library's
// socket (receive callback + send_some, the unsent rest sent from the can-send
// callback) against a plain Boost.Asio echo (async_read_some + async_write) in
// the same run. A plain client writes the bytes in writes of the given size
// on one thread and reads the echo on another; a run ends when all bytes are
// back. Runs alternate between the two servers; the best of each counts.
//
// Usage: tcp_echo_bench [MiB per run with 64 KiB writes] [MiB per run with
//        100-byte writes] [runs]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

namespace {

using clock_type = std::chrono::steady_clock;

void check(bool _ok, const char* _what) {
    if (!_ok) {
        throw std::runtime_error(std::string(_what) + ": " + std::strerror(errno));
    }
}

// Writes _total bytes in writes of _write_size and reads them back; the
// seconds from the first write to the last byte read.
double client_run(int _port, std::size_t _total, std::size_t _write_size) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connect");
    const std::string chunk(_write_size, 'x');
    const auto started = clock_type::now();
    std::thread writer([&] {
        for (std::size_t done = 0; done < _total;) {
            const std::size_t size = std::min(_write_size, _total - done);
            const auto n = ::send(fd, chunk.data(), size, MSG_NOSIGNAL);
            check(n > 0, "send");
            done += static_cast<std::size_t>(n);
        }
    });
    std::vector<char> buffer(1 << 20);
    for (std::size_t received = 0; received < _total;) {
        const auto n = ::recv(fd, buffer.data(), buffer.size(), 0);
        check(n > 0, "recv");
        received += static_cast<std::size_t>(n);
    }
    const auto elapsed = clock_type::now() - started;
    writer.join();
    ::close(fd);
    return std::chrono::duration<double>(elapsed).count();
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

double library_run(core::core& _core, std::size_t _total, std::size_t _write_size) {
    auto loop = _core.create_events_loop("main loop");
    int port = 0;
    {
        // A port that was free a moment ago: the acceptor cannot tell its own.
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        port = probe.local_endpoint().port();
    }
    auto acceptor = loop->get_tcp().listen("127.0.0.1", port);
    std::unique_ptr<library_echo> echo;
    acceptor->set_callback([&](core::tcp::socket::ptr _socket) {
        echo = std::make_unique<library_echo>(std::move(_socket));
    });
    auto work = loop->create_work();
    std::thread server([&] { loop->run(); });
    const double seconds = client_run(port, _total, _write_size);
    loop->stop();
    server.join();
    echo.reset();
    acceptor.reset();
    return double(_total) / seconds;
}

// The plain Boost.Asio echo: read some, write it all, read again.
class asio_echo : public std::enable_shared_from_this<asio_echo> {
public:
    explicit asio_echo(asio::ip::tcp::socket _socket) : m_socket(std::move(_socket)), m_buffer(65536) {}
    void read() {
        m_socket.async_read_some(asio::buffer(m_buffer),
                                 [self = shared_from_this()](const boost::system::error_code& _error,
                                                             std::size_t _length) {
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

double asio_run(std::size_t _total, std::size_t _write_size) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor.async_accept([](const boost::system::error_code& _error, asio::ip::tcp::socket _socket) {
        if (!_error) {
            std::make_shared<asio_echo>(std::move(_socket))->read();
        }
    });
    auto work = asio::make_work_guard(io);
    std::thread server([&] { io.run(); });
    const double seconds = client_run(acceptor.local_endpoint().port(), _total, _write_size);
    io.stop();
    server.join();
    return double(_total) / seconds;
}

void compare(core::core& _core, std::size_t _total, std::size_t _write_size, int _runs) {
    double plain = 0;
    double library = 0;
    for (int i = 0; i < _runs; ++i) {
        plain = std::max(plain, asio_run(_total, _write_size));
        library = std::max(library, library_run(_core, _total, _write_size));
    }
    std::printf("%6zu-byte writes, %4zu MiB per run: plain Asio echo %8.1f MiB/s, library socket %8.1f MiB/s"
                "  (ratio %.2f)\n",
                _write_size, _total >> 20, plain / (1 << 20), library / (1 << 20), library / plain);
}

}  // namespace

int main(int _argc, char** _argv) {
    const std::size_t large_mib = _argc > 1 ? std::strtoull(_argv[1], nullptr, 10) : 1024;
    const std::size_t small_mib = _argc > 2 ? std::strtoull(_argv[2], nullptr, 10) : 32;
    const int runs = _argc > 3 ? std::atoi(_argv[3]) : 5;
    core::logger logger("tcp-echo-bench", "bench");
    auto root = core::core::create(logger);
    std::printf("TCP echo over 127.0.0.1, one connection, plain client (writer and reader threads), best of %d\n",
                runs);
    compare(*root, large_mib << 20, 65536, runs);
    compare(*root, small_mib << 20, 100, runs);
    return 0;
}
