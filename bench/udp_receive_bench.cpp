// Datagrams per second received on loopback, 100-byte datagrams: the
// library's UDP socket (receive callback on the event loop) against a plain
// blocking recvmsg loop that asks for the same packet information, in the same
// run. Runs alternate between the two receivers; the best run of each counts.
//
//   flood: a plain sender thread sends flat out; each run counts for a fixed
//          time once the first datagram has arrived. The receiver's CPU time
//          per datagram is printed too.
//   drain: the receiver is the only side working: a batch that fits in the
//          receive buffer is sent first, then the time to receive it all is
//          measured; batches alternate between the two receivers and the
//          median batch of each counts. This is the receiving cost alone.
//
// Usage: udp_receive_bench [seconds per run] [runs]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/udp/socket.hpp>

#include "socket_peers.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = orq::libs::core;
using namespace orq::test::socket_peers;

namespace {

constexpr std::size_t datagram_size = 100;
using clock_type = std::chrono::steady_clock;

// Sends datagrams to the port until stopped.
class sender {
public:
    explicit sender(int _port) : m_to("127.0.0.1", _port) {
        m_thread = std::thread([this] {
            const std::string payload(datagram_size, 'x');
            while (!m_stop.load(std::memory_order_relaxed)) {
                ::sendto(m_socket.fd(), payload.data(), payload.size(), 0, m_to.get(), m_to.length);
            }
        });
    }
    ~sender() {
        m_stop = true;
        m_thread.join();
    }

private:
    plain_udp m_socket;
    address m_to;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A plain socket that asks for the packet information, as the library's does.
plain_udp pktinfo_socket() {
    plain_udp socket;
    const int on = 1;
    ::setsockopt(socket.fd(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    return socket;
}

// Receives one datagram with a plain blocking recvmsg and reads the local
// address from the packet information, as the library does.
void receive_with_pktinfo(int _fd, std::vector<char>& _buffer) {
    sockaddr_storage from{};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    iovec payload{_buffer.data(), _buffer.size()};
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &payload;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    check(::recvmsg(_fd, &header, 0) >= 0, "recvmsg");
    in_addr local{};
    for (cmsghdr* entry = CMSG_FIRSTHDR(&header); entry; entry = CMSG_NXTHDR(&header, entry)) {
        if (entry->cmsg_level == IPPROTO_IP && entry->cmsg_type == IP_PKTINFO) {
            std::memcpy(&local, &reinterpret_cast<in_pktinfo*>(CMSG_DATA(entry))->ipi_spec_dst, sizeof local);
        }
    }
}

struct result {
    double per_second = 0;
    double cpu_microseconds = 0;  // receiver thread CPU time per datagram
};

// Counts datagrams; the window opens at the first one.
class counter {
public:
    explicit counter(std::chrono::duration<double> _window) : m_window(_window) {}
    // False once the window has closed.
    bool count() {
        if (m_count++ == 0) {
            m_started = clock_type::now();
            m_cpu_started = orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
            return true;
        }
        if ((m_count & 255) != 0) {
            return true;
        }
        m_elapsed = clock_type::now() - m_started;
        return m_elapsed < m_window;
    }
    result get() const {
        const double seconds = std::chrono::duration<double>(m_elapsed).count();
        const double counted = double(m_count - 1);
        return {counted / seconds, (orq::test::cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - m_cpu_started) / counted * 1e6};
    }

private:
    std::chrono::duration<double> m_window;
    std::uint64_t m_count = 0;
    clock_type::time_point m_started;
    clock_type::duration m_elapsed{};
    double m_cpu_started = 0;
};

result receive_plain(std::chrono::duration<double> _window) {
    const plain_udp socket = pktinfo_socket();
    counter counted(_window);
    sender flood(socket.port());
    std::vector<char> buffer(65536);
    do {
        receive_with_pktinfo(socket.fd(), buffer);
    } while (counted.count());
    return counted.get();
}

result receive_library(std::chrono::duration<double> _window, core::core& _core) {
    auto loop = _core.create_events_loop("main loop");
    const int port = free_udp_port();
    auto socket = loop->create_udp_socket("127.0.0.1", port);
    counter counted(_window);
    socket->set_receive_callback(
        [&](const core::udp::socket::endpoint&, const boost::asio::ip::address_v4&, const core::udp::socket::message&) {
            if (!counted.count()) {
                loop->stop();
            }
        });
    {
        sender flood(port);
        loop->run();
    }
    const result measured = counted.get();
    socket.reset();
    return measured;
}

// Datagrams that the default receive buffer surely holds.
int batch_size() {
    const plain_udp to;
    const plain_udp from;
    const std::string payload(datagram_size, 'x');
    for (int i = 0; i < 10000; ++i) {
        from.send_to("127.0.0.1", to.port(), payload);
    }
    char buffer[256];
    int held = 0;
    while (::recv(to.fd(), buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
        ++held;
    }
    return held * 3 / 4;
}

// Sends a batch to the port from a plain socket.
void send_batch(const plain_udp& _from, int _port, int _count) {
    const std::string payload(datagram_size, 'x');
    for (int i = 0; i < _count; ++i) {
        _from.send_to("127.0.0.1", _port, payload);
    }
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

// Batch after batch, alternately to the plain socket and to the library's;
// the median batch of each gives its rate (a loaded machine preempts some).
std::pair<double, double> drain(int _batch, int _batches, core::core& _core) {
    const plain_udp plain = pktinfo_socket();
    auto loop = _core.create_events_loop("main loop");
    const int port = free_udp_port();
    auto socket = loop->create_udp_socket("127.0.0.1", port);
    int received = 0;
    socket->set_receive_callback(
        [&](const core::udp::socket::endpoint&, const boost::asio::ip::address_v4&, const core::udp::socket::message&) {
            if (++received == _batch) {
                loop->stop();
            }
        });
    const plain_udp from;
    std::vector<char> buffer(65536);
    std::vector<double> plain_seconds;
    std::vector<double> library_seconds;
    for (int round = 0; round < _batches; ++round) {
        send_batch(from, plain.port(), _batch);
        auto started = clock_type::now();
        for (int i = 0; i < _batch; ++i) {
            receive_with_pktinfo(plain.fd(), buffer);
        }
        plain_seconds.push_back(std::chrono::duration<double>(clock_type::now() - started).count());

        send_batch(from, port, _batch);
        received = 0;
        loop->get_io_context().restart();
        started = clock_type::now();
        loop->run();
        library_seconds.push_back(std::chrono::duration<double>(clock_type::now() - started).count());
    }
    socket.reset();
    return {_batch / median(plain_seconds), _batch / median(library_seconds)};
}

}  // namespace

int main(int _argc, char** _argv) {
    const double seconds = _argc > 1 ? std::atof(_argv[1]) : 1.0;
    const int runs = _argc > 2 ? std::atoi(_argv[2]) : 5;
    core::logger logger("udp-receive-bench", "bench");
    auto root = core::core::create(logger);
    const std::chrono::duration<double> window(seconds);

    result plain;
    result library;
    for (int i = 0; i < runs; ++i) {
        const result p = receive_plain(window);
        const result l = receive_library(window, *root);
        if (p.per_second > plain.per_second) {
            plain = p;
        }
        if (l.per_second > library.per_second) {
            library = l;
        }
    }
    const int batch = batch_size();
    const int batches = 2000;
    const auto [plain_drain, library_drain] = drain(batch, batches, *root);
    std::printf("UDP over 127.0.0.1, %zu-byte datagrams\n", datagram_size);
    std::printf("flood from a plain sender thread, %.1f s per run, best of %d runs:\n", seconds, runs);
    std::printf("  %-44s %10.0f datagrams/s  %6.2f us CPU each\n", "plain blocking recvmsg loop (IP_PKTINFO)",
                plain.per_second, plain.cpu_microseconds);
    std::printf("  %-44s %10.0f datagrams/s  %6.2f us CPU each  (ratio %.2f)\n",
                "library udp::socket, callback on the loop", library.per_second, library.cpu_microseconds,
                library.per_second / plain.per_second);
    std::printf("drain of %d queued datagrams, %d batches each, median batch:\n", batch, batches);
    std::printf("  %-44s %10.0f datagrams/s\n", "plain blocking recvmsg loop (IP_PKTINFO)", plain_drain);
    std::printf("  %-44s %10.0f datagrams/s  (ratio %.2f)\n", "library udp::socket, callback on the loop",
                library_drain, library_drain / plain_drain);
    return 0;
}
