// The event loop's TCP manager, acceptors and sockets against plain POSIX
// peers on loopback: receiving and the close callback, resets, large blocks,
// partial and queued sends and the can-send callback, accepting (also past the
// descriptor limit), listening, connecting without blocking, local endpoints,
// error texts, and destruction with operations pending.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>
#include <core/tcp/manager.hpp>

#include "socket_peers.hpp"
#include "test_support.hpp"
#include "zmq_peers.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace core = orq::libs::core;
using namespace orq::test::socket_peers;
using boost::asio::ip::make_address;
using core::tcp::socket;
using orq::test::run_ready;
using orq::test::run_until;
using orq::test::zmq_peers::held_ports;
using orq::test::zmq_peers::log_capture;
using namespace std::chrono_literals;

namespace {

// Reads from a blocking connection until it holds _size bytes, or until
// nothing arrives for 10 seconds.
std::string read_bytes(int _fd, std::size_t _size) {
    std::string got;
    std::string buffer(65536, '\0');
    while (got.size() < _size) {
        pollfd ready{_fd, POLLIN, 0};
        if (::poll(&ready, 1, 10000) != 1) {
            break;
        }
        const auto n = ::recv(_fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        got.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return got;
}

// True when an IPv4 connection in the state (as /proc/net/tcp numbers them)
// has the local port, or the remote port.
bool connection_in_state(unsigned _state, int _local_port, int _remote_port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        unsigned local = 0;
        unsigned remote = 0;
        unsigned state = 0;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %x", &local, &remote, &state) == 3 && state == _state &&
            (static_cast<int>(local) == _local_port || static_cast<int>(remote) == _remote_port)) {
            return true;
        }
    }
    return false;
}

bool time_wait_on(int _port) {
    return connection_in_state(0x06, _port, -1);
}

// A connection attempt to the port still waiting for the SYN's answer.
bool syn_sent_to(int _port) {
    return connection_in_state(0x02, -1, _port);
}

// A loopback listener that takes no more connections: its accept queue is
// full and never accepted from, so the kernel drops further SYNs and a
// connect to it waits until the system gives up (minutes).
class full_listener {
public:
    full_listener() {
        m_fd = plain_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        check(m_fd.get() >= 0, "socket");
        const address bound("127.0.0.1", 0);
        check(::bind(m_fd.get(), bound.get(), bound.length) == 0, "bind");
        // The kernel queues one connection more than the backlog.
        check(::listen(m_fd.get(), 1) == 0, "listen");
        for (auto& filler : m_fillers) {
            filler = plain_connect(port());
        }
    }
    int port() const { return local_port(m_fd.get()); }

private:
    plain_fd m_fd;
    plain_fd m_fillers[2];
};

// The count of the text's occurrences.
std::size_t occurrences(const std::string& _text, const std::string& _part) {
    std::size_t count = 0;
    for (auto at = _text.find(_part); at != std::string::npos; at = _text.find(_part, at + 1)) {
        ++count;
    }
    return count;
}

class tcp_socket_test : public ::testing::Test {
protected:
    // A port nothing listens on, below the ephemeral range.
    static int unused_port() {
        held_ports window(1);
        window.release(0);
        return window.port(0);
    }

    core::logger m_logger{"tcp-socket-test", "test"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main loop");
    boost::asio::io_context& m_io = m_loop->get_io_context();
    core::tcp::manager& m_tcp = m_loop->get_tcp();
};

}  // namespace

// Catches: end of stream taken for an error (no close callback) or reported
// twice, bytes sent before set_receive_callback lost, a read queued again
// after the close, and the peer's endpoint misreported.
TEST_F(tcp_socket_test, bytes_then_orderly_close_give_the_bytes_then_one_close_callback) {
    log_capture log(m_logger);
    plain_listener listener;
    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    EXPECT_EQ(connection->get_remote_endpoint(),
              socket::endpoint(make_address("127.0.0.1"), static_cast<unsigned short>(listener.port())));
    send_all(peer.get(), "0123456789");
    peer.reset();

    std::vector<std::string> events;
    connection->set_close_callback([&] { events.push_back("close"); });
    connection->set_receive_callback([&](boost::string_view _chunk) { events.emplace_back(_chunk); });
    ASSERT_TRUE(run_until(m_io, [&] { return !events.empty() && events.back() == "close"; }));
    run_ready(m_io);
    EXPECT_EQ(events, (std::vector<std::string>{"0123456789", "close"}));
    EXPECT_TRUE(log.lines().empty());
}

// Catches: a reset that reaches no close callback (the server never learns
// the peer is gone) or two of them, bytes that arrived before the reset lost,
// an end not logged, a socket that cannot be destroyed inside its close
// callback, and send_some or get_remote_endpoint that do not fail afterwards.
TEST_F(tcp_socket_test, reset_after_bytes_gives_the_bytes_then_one_close_callback_that_may_destroy_the_socket) {
    log_capture log(m_logger);
    plain_listener listener;
    std::vector<socket::ptr> connections;
    std::vector<plain_fd> peers;
    std::vector<std::vector<std::string>> events(2);
    for (std::size_t i = 0; i < 2; ++i) {
        connections.push_back(m_tcp.connect("127.0.0.1", listener.port()));
        peers.push_back(listener.accept());
        connections[i]->set_receive_callback([&, i](boost::string_view _chunk) { events[i].emplace_back(_chunk); });
    }
    // The first destroys itself in its close callback; the second stays.
    connections[0]->set_close_callback([&] {
        events[0].emplace_back("close");
        connections[0].reset();
    });
    connections[1]->set_close_callback([&] { events[1].emplace_back("close"); });
    for (auto& peer : peers) {
        send_all(peer.get(), "bytes");
        // Acknowledged, so in the receiver's buffer before the reset.
        ASSERT_TRUE(orq::test::wait_until([&] {
            int unacknowledged = -1;
            return ::ioctl(peer.get(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        }));
        reset_connection(peer);
    }

    const auto closed = [&] {
        return std::all_of(events.begin(), events.end(),
                           [](const auto& _events) { return !_events.empty() && _events.back() == "close"; });
    };
    ASSERT_TRUE(run_until(m_io, closed));
    run_ready(m_io);
    for (const auto& received : events) {
        EXPECT_EQ(received, (std::vector<std::string>{"bytes", "close"}));
    }
    EXPECT_EQ(connections[0], nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    for (const auto& line : lines) {
        EXPECT_NE(line.find(std::strerror(ECONNRESET)), std::string::npos) << line;
    }
    EXPECT_THROW(connections[1]->send_some("x"), boost::system::system_error);
    try {
        connections[1]->get_remote_endpoint();
        ADD_FAILURE() << "the endpoint of a reset connection";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("remote_endpoint: ", 0), 0u) << e.what();
    }
}

// Catches: a receive buffer larger than 65536 bytes (oversized chunks), a view
// beyond the bytes read, and chunks lost, repeated or reordered.
TEST_F(tcp_socket_test, a_mebibyte_arrives_whole_in_chunks_of_at_most_65536_bytes) {
    plain_listener listener;
    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    const std::string block = pattern(1 << 20);
    std::atomic<std::size_t> written{0};
    auto writer = std::async(std::launch::async, [&] {
        for (std::size_t offset = 0; offset < block.size(); offset += 16384) {
            send_all(peer.get(), block.substr(offset, 16384));
            written += 16384;
        }
        ::shutdown(peer.get(), SHUT_WR);
    });
    // More than one chunk's worth waits in the kernel before reading starts.
    ASSERT_TRUE(orq::test::wait_until([&] { return written >= 96 * 1024; }));

    std::string received;
    std::size_t largest = 0;
    int chunks = 0;
    bool closed = false;
    connection->set_close_callback([&] { closed = true; });
    connection->set_receive_callback([&](boost::string_view _chunk) {
        received.append(_chunk.data(), _chunk.size());
        largest = std::max(largest, _chunk.size());
        ++chunks;
    });
    ASSERT_TRUE(run_until(
        m_io, [&] { return closed; }, 60s));
    writer.get();
    EXPECT_TRUE(received == block) << "received " << received.size() << " bytes";
    EXPECT_LE(largest, 65536u);
    EXPECT_GE(chunks, 16);
}

// Catches: send_some that blocks, throws, or claims more than the kernel took;
// a can-send callback per notify call instead of one per pending wait; a wait
// that never completes; bytes lost on the way.
TEST_F(tcp_socket_test, send_some_is_partial_then_zero_and_can_send_comes_once_per_wait) {
    plain_listener listener;
    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    const std::string block = pattern(16 << 20);
    const boost::string_view all(block);

    std::size_t sent = connection->send_some(all);
    ASSERT_GT(sent, 0u);
    ASSERT_LT(sent, block.size());
    std::size_t taken = 0;
    for (int attempt = 0; attempt < 100000 && (taken = connection->send_some(all.substr(sent))) > 0; ++attempt) {
        sent += taken;
    }
    ASSERT_EQ(taken, 0u) << "the peer does not read, yet the kernel kept taking bytes";
    EXPECT_EQ(connection->send_some(""), 0u);

    int waits = 1;
    int callbacks = 0;
    connection->set_can_send_callback([&] {
        ++callbacks;
        sent += connection->send_some(all.substr(sent));
        if (sent < block.size()) {
            connection->notify_that_send_is_possible();
            ++waits;
        }
    });
    connection->notify_that_send_is_possible();
    connection->notify_that_send_is_possible();
    auto reader = std::async(std::launch::async, [&] { return read_bytes(peer.get(), block.size()); });
    ASSERT_TRUE(run_until(
        m_io, [&] { return sent == block.size(); }, 60s));
    const std::string got = reader.get();
    run_ready(m_io);
    EXPECT_EQ(callbacks, waits);
    EXPECT_TRUE(got == block) << "the peer got " << got.size() << " bytes";
}

// Catches: connections that arrive before set_callback lost or accepted out of
// order, and an accept loop that stops after one connection.
TEST_F(tcp_socket_test, connections_made_before_set_callback_are_accepted_in_order) {
    const int port = unused_port();
    auto acceptor = m_tcp.listen(core::ip_protocol::v4, port);
    std::vector<plain_fd> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(plain_connect(port));
    }
    std::vector<socket::ptr> accepted;
    acceptor->set_callback([&](socket::ptr _connection) { accepted.push_back(std::move(_connection)); });
    ASSERT_TRUE(run_until(m_io, [&] { return accepted.size() == 3; }));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(accepted[i]->get_remote_endpoint().port(), local_port(clients[i].get())) << i;
    }
}

// Catches: a listener without SO_REUSEADDR (refused while TIME_WAIT holds the
// port), a failure that does not name its step, address and port (or names a
// place inside Boost), names resolved instead of refused, ports wrapped
// around, and a refused connection not reported.
TEST_F(tcp_socket_test, listen_over_time_wait_succeeds_over_a_listener_fails_at_bind_and_names_are_refused) {
    const int port = unused_port();
    {
        auto acceptor = m_tcp.listen(core::ip_protocol::v4, port);
        socket::ptr server_side;
        acceptor->set_callback([&](socket::ptr _connection) { server_side = std::move(_connection); });
        plain_fd client = plain_connect(port);
        ASSERT_TRUE(run_until(m_io, [&] { return server_side != nullptr; }));
        // The server closes first, so its end goes through TIME_WAIT.
        server_side.reset();
        EXPECT_EQ(read_bytes(client.get(), 1), "");
    }
    ASSERT_TRUE(orq::test::wait_until([&] { return time_wait_on(port); }));
    core::tcp::acceptor::ptr again;
    ASSERT_NO_THROW(again = m_tcp.listen(core::ip_protocol::v4, port));

    try {
        m_tcp.listen("0.0.0.0", port);
        ADD_FAILURE() << "a second listener on the port";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
        EXPECT_EQ(e.code().category(), boost::system::system_category());
        EXPECT_EQ(std::string(e.what()), "bind 0.0.0.0:" + std::to_string(port) + ": " + std::strerror(EADDRINUSE));
    }
    EXPECT_THROW(m_tcp.listen("localhost", 0), boost::system::system_error);
    EXPECT_THROW(m_tcp.connect("localhost", port), boost::system::system_error);
    EXPECT_THROW(m_tcp.listen(core::ip_protocol::v4, 65536 + port), boost::system::system_error);
    const int closed_port = unused_port();
    try {
        m_tcp.connect("127.0.0.1", closed_port);
        ADD_FAILURE() << "connected to a port where nobody listens";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::connection_refused);
        EXPECT_EQ(std::string(e.what()),
                  "connect 127.0.0.1:" + std::to_string(closed_port) + ": " + std::strerror(ECONNREFUSED));
    }
}

// Catches: a socket destroyed by another socket's callback that still
// delivers the bytes waiting for it, and pending operations that destruction
// cancels calling back, logging or throwing out of the loop (callbacks on
// destroyed objects, use after free under ASan).
TEST_F(tcp_socket_test, destruction_with_a_read_a_wait_or_an_accept_pending_calls_nothing) {
    log_capture log(m_logger);
    int calls = 0;
    plain_listener listener;
    std::vector<socket::ptr> pair;
    std::vector<plain_fd> peers;
    for (std::size_t i = 0; i < 2; ++i) {
        pair.push_back(m_tcp.connect("127.0.0.1", listener.port()));
        peers.push_back(listener.accept());
        pair[i]->set_close_callback([&] { ++calls; });
        // Whichever delivers first destroys the other, which has bytes
        // waiting too.
        pair[i]->set_receive_callback([&, other = 1 - i](boost::string_view) {
            ++calls;
            pair[other].reset();
        });
    }
    run_ready(m_io);
    send_all(peers[0].get(), "first");
    send_all(peers[1].get(), "second");
    ASSERT_TRUE(run_until(m_io, [&] { return calls > 0; }));
    run_ready(m_io);
    EXPECT_EQ(calls, 1);

    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    connection->set_close_callback([&] { ++calls; });
    connection->set_can_send_callback([&] { ++calls; });
    connection->set_receive_callback([&](boost::string_view) { ++calls; });
    run_ready(m_io);
    send_all(peer.get(), "late");
    peer.reset();
    connection->notify_that_send_is_possible();
    connection.reset();

    const int port = unused_port();
    auto acceptor = m_tcp.listen(core::ip_protocol::v4, port);
    acceptor->set_callback([&](socket::ptr) { ++calls; });
    run_ready(m_io);
    plain_fd client = plain_connect(port);
    acceptor.reset();

    EXPECT_NO_THROW(run_ready(m_io));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(log.lines().empty());
}

// Catches: send that loses, repeats or reorders bytes (also against send_some
// while bytes wait), that blocks the loop or copies nothing and waits, a
// queue that is not written as the peer reads, queued_bytes that does not
// follow the queue, and a can-send callback that is not called once the
// queue has drained (or called before, or once per notify).
TEST_F(tcp_socket_test, send_keeps_every_byte_in_order_and_can_send_follows_the_drain) {
    plain_listener listener;
    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    const std::string block = pattern(8 << 20);
    const boost::string_view all(block);
    std::vector<std::size_t> queued_at_can_send;
    connection->set_can_send_callback([&] { queued_at_can_send.push_back(connection->queued_bytes()); });

    // The peer's buffer is kept small, so that the kernel's share is mostly
    // the send buffer (at most 4 MiB unless the system was tuned for more).
    const int small = 65536;
    check(::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0, "SO_RCVBUF");
    connection->send(all.substr(0, 6 << 20));
    const std::size_t queued_after_first = connection->queued_bytes();
    ASSERT_GT(queued_after_first, 0u) << "the kernel took 6 MiB at once while the peer does not read";
    EXPECT_EQ(connection->send_some(all.substr(6 << 20)), 0u) << "send_some overtook queued bytes";
    connection->notify_that_send_is_possible();
    connection->send(all.substr(6 << 20));
    EXPECT_EQ(connection->queued_bytes(), queued_after_first + (2u << 20));
    run_ready(m_io);
    EXPECT_TRUE(queued_at_can_send.empty());

    // A slow reader: small reads, one at a time.
    auto reader = std::async(std::launch::async, [&] {
        std::string got;
        std::string buffer(4096, '\0');
        while (got.size() < block.size()) {
            pollfd ready{peer.get(), POLLIN, 0};
            if (::poll(&ready, 1, 20000) != 1) {
                break;
            }
            const auto n = ::recv(peer.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer.data(), static_cast<std::size_t>(n));
        }
        return got;
    });
    std::vector<std::size_t> queued;
    auto sampler = m_loop->create_periodic_timer(
        std::chrono::milliseconds(5), "sample",
        [&](core::timer::time_point) { queued.push_back(connection->queued_bytes()); }, ORQ_SOURCE_LOCATION);
    ASSERT_TRUE(run_until(
        m_io, [&] { return !queued_at_can_send.empty(); }, 60s));
    sampler.reset();
    const std::string got = reader.get();
    run_ready(m_io);
    EXPECT_EQ(queued_at_can_send, std::vector<std::size_t>{0});
    EXPECT_EQ(connection->queued_bytes(), 0u);
    EXPECT_TRUE(std::is_sorted(queued.rbegin(), queued.rend())) << "the queue grew while nothing was sent";
    EXPECT_TRUE(got == block) << "the peer got " << got.size() << " bytes";
    EXPECT_EQ(connection->send_some("x"), 1u);
}

// Catches: a failed write of queued bytes that goes unreported, a second
// close callback when the read fails too, and a queue kept for a connection
// that is gone.
TEST_F(tcp_socket_test, queued_bytes_to_a_peer_that_resets_end_the_connection_once) {
    log_capture log(m_logger);
    plain_listener listener;
    auto connection = m_tcp.connect("127.0.0.1", listener.port());
    plain_fd peer = listener.accept();
    int closes = 0;
    connection->set_close_callback([&] { ++closes; });
    connection->set_receive_callback([](boost::string_view) {});
    connection->send(pattern(8 << 20));
    ASSERT_GT(connection->queued_bytes(), 0u);
    reset_connection(peer);
    ASSERT_TRUE(run_until(m_io, [&] { return closes > 0; }));
    run_ready(m_io);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(connection->queued_bytes(), 0u);
    EXPECT_EQ(log.lines().size(), 1u);
}

// Catches: connect_async that blocks the loop's thread (the timer stops
// ticking), delivers nothing or calls back after its handle was dropped,
// leaves the abandoned attempt open, and a time-out that is not kept.
TEST_F(tcp_socket_test, connect_async_to_a_full_listener_leaves_the_loop_running_until_dropped_or_timed_out) {
    full_listener listener;
    int ticks = 0;
    auto ticker = m_loop->create_periodic_timer(
        std::chrono::milliseconds(10), "tick", [&](core::timer::time_point) { ++ticks; }, ORQ_SOURCE_LOCATION);
    int results = 0;
    auto attempt = m_tcp.connect_async("127.0.0.1", listener.port());
    attempt->set_callback([&](core::tcp::connect_result) { ++results; });
    ASSERT_TRUE(run_until(m_io, [&] { return ticks >= 20; }));
    EXPECT_EQ(results, 0);
    EXPECT_FALSE(attempt->is_complete());
    EXPECT_TRUE(syn_sent_to(listener.port()));

    attempt.reset();
    run_ready(m_io);
    EXPECT_FALSE(syn_sent_to(listener.port())) << "the abandoned attempt is still open";
    ASSERT_TRUE(run_until(m_io, [&] { return ticks >= 25; }));
    EXPECT_EQ(results, 0);

    std::optional<core::tcp::connect_result> timed_out;
    auto bounded = m_tcp.connect_async("127.0.0.1", listener.port(), std::chrono::milliseconds(200));
    bounded->set_callback([&](core::tcp::connect_result _result) { timed_out = std::move(_result); });
    ASSERT_TRUE(run_until(m_io, [&] { return timed_out.has_value(); }));
    EXPECT_EQ(timed_out->error, boost::asio::error::timed_out);
    EXPECT_EQ(timed_out->socket, nullptr);
    EXPECT_FALSE(syn_sent_to(listener.port()));
}

// Catches: a refusal thrown, lost or not reported as connection_refused, and
// a connected socket that does not work or reports wrong endpoints.
TEST_F(tcp_socket_test, connect_async_reports_a_refusal_and_delivers_a_working_socket) {
    std::optional<core::tcp::connect_result> refused;
    auto refusal = m_tcp.connect_async("127.0.0.1", unused_port());
    refusal->set_callback([&](core::tcp::connect_result _result) { refused = std::move(_result); });
    ASSERT_TRUE(run_until(m_io, [&] { return refused.has_value(); }));
    EXPECT_EQ(refused->error, boost::asio::error::connection_refused);
    EXPECT_EQ(refused->socket, nullptr);
    EXPECT_THROW(m_tcp.connect_async("localhost", 80), boost::system::system_error);

    plain_listener listener;
    std::optional<core::tcp::connect_result> made;
    auto attempt = m_tcp.connect_async("127.0.0.1", listener.port());
    attempt->set_callback([&](core::tcp::connect_result _result) { made = std::move(_result); });
    ASSERT_TRUE(run_until(m_io, [&] { return made.has_value(); }));
    ASSERT_FALSE(made->error) << made->error.message();
    ASSERT_NE(made->socket, nullptr);
    plain_fd peer = listener.accept();
    EXPECT_EQ(made->socket->local_endpoint().port(), [&] {
        sockaddr_storage name{};
        socklen_t length = sizeof name;
        check(::getpeername(peer.get(), reinterpret_cast<sockaddr*>(&name), &length) == 0, "getpeername");
        return ntohs(reinterpret_cast<sockaddr_in&>(name).sin_port);
    }());
    EXPECT_EQ(made->socket->get_remote_endpoint().port(), listener.port());
    std::string received;
    made->socket->set_receive_callback(
        [&](boost::string_view _chunk) { received.append(_chunk.data(), _chunk.size()); });
    made->socket->send("ping");
    EXPECT_EQ(read_bytes(peer.get(), 4), "ping");
    send_all(peer.get(), "pong");
    ASSERT_TRUE(run_until(m_io, [&] { return received == "pong"; }));
}

// Catches: a port-0 listener that cannot tell the port it got, or tells
// another one.
TEST_F(tcp_socket_test, port_zero_listener_reports_the_port_it_got) {
    auto acceptor = m_tcp.listen("127.0.0.1", 0);
    const auto local = acceptor->local_endpoint();
    EXPECT_EQ(local.address(), make_address("127.0.0.1"));
    ASSERT_NE(local.port(), 0);
    socket::ptr accepted;
    acceptor->set_callback([&](socket::ptr _connection) { accepted = std::move(_connection); });
    plain_fd client = plain_connect(local.port());
    ASSERT_TRUE(run_until(m_io, [&] { return accepted != nullptr; }));
    EXPECT_EQ(accepted->local_endpoint(), local);
    EXPECT_EQ(accepted->get_remote_endpoint().port(), local_port(client.get()));
}

// Catches: an acceptor that stops for good when the process runs out of
// descriptors, one that does not take the waiting connections once some are
// freed, and an error logged at every retry instead of once. The limit is
// lowered in a child process of its own.
TEST(tcp_acceptor_limit, accepting_goes_on_after_running_out_of_descriptors_and_logs_it_once) {
    orq::test::child_process probe({ORQ_TEST_PROGRAM_DIR "/tcp_accept_limit_probe", "8"});
    ASSERT_TRUE(probe.wait_stdout_contains("\n")) << probe.stdout_text() << probe.stderr_text();
    const std::string first_line = probe.stdout_text();
    ASSERT_EQ(first_line.rfind("port=", 0), 0u) << first_line << probe.stderr_text();
    const int port = std::stoi(first_line.substr(5));
    std::vector<plain_fd> clients;
    for (int i = 0; i < 12; ++i) {
        clients.push_back(plain_connect(port));
    }
    ASSERT_TRUE(probe.wait_stderr_contains(std::strerror(EMFILE), 30s)) << probe.stderr_text();
    probe.send_signal(SIGUSR1);
    ASSERT_TRUE(probe.wait_stdout_contains("freed=", 30s)) << probe.stdout_text();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(read_bytes(clients[i].get(), 5), "hello") << "client " << i;
    }
    probe.send_signal(SIGTERM);
    EXPECT_EQ(probe.exit_code(), 0) << probe.stderr_text();
    EXPECT_EQ(occurrences(probe.stderr_text(), std::strerror(EMFILE)), 1u) << probe.stderr_text();
}
