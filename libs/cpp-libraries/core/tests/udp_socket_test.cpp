// The event loop's UDP sockets against plain POSIX peers on loopback: what the
// receive callback is given, binding, exceptions from the callback, failed
// reads, destruction, IPv6, and a broadcast in a private network namespace.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/udp/socket.hpp>

#include "socket_peers.hpp"
#include "test_support.hpp"
#include "zmq_peers.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace core = orq::libs::core;
using namespace orq::test::socket_peers;
using orq::test::run_ready;
using orq::test::run_until;
using orq::test::zmq_peers::log_capture;
using endpoint = core::udp::socket::endpoint;
using boost::asio::ip::make_address;
using boost::asio::ip::make_address_v4;

namespace {

struct datagram {
    endpoint remote;
    boost::asio::ip::address_v4 local;
    std::string data;
};

class udp_socket_test : public ::testing::Test {
protected:
    // Records every datagram; throws after recording one whose payload is "throw".
    core::udp::socket::callback record(std::vector<datagram>& _got) {
        return [&_got](const endpoint& _remote, const boost::asio::ip::address_v4& _local,
                       const core::udp::socket::message& _data) {
            _got.push_back({_remote, _local, std::string(_data)});
            if (_data == "throw") {
                throw std::runtime_error("callback failed");
            }
        };
    }

    core::logger m_logger{"udp-socket-test", "test"};
    core::core::ptr m_core = core::core::create(m_logger);
    core::events_loop::ptr m_loop = m_core->create_events_loop("main loop");
    boost::asio::io_context& m_io = m_loop->get_io_context();
};

}  // namespace

// Catches: the sender's address or port misread, no local address, a payload
// cut short (small buffer, wrong length), an empty datagram dropped, and a
// reply that does not leave from the bound port.
TEST_F(udp_socket_test, payload_sender_and_local_address_reach_the_callback) {
    const int port = free_udp_port();
    auto socket = m_loop->create_udp_socket(core::ip_protocol::v4, port);
    plain_udp peer;
    std::vector<datagram> got;
    socket->set_receive_callback(record(got));
    const std::string big = pattern(60000);
    peer.send_to("127.0.0.1", port, "hello");
    peer.send_to("127.0.0.1", port, "");
    peer.send_to("127.0.0.1", port, big);
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 3; }));
    EXPECT_EQ(got[0].remote, endpoint(make_address("127.0.0.1"), static_cast<unsigned short>(peer.port())));
    EXPECT_EQ(got[0].local, make_address_v4("127.0.0.1"));
    EXPECT_EQ(got[0].data, "hello");
    EXPECT_EQ(got[1].data, "");
    EXPECT_EQ(got[1].local, make_address_v4("127.0.0.1"));
    EXPECT_TRUE(got[2].data == big) << "size " << got[2].data.size();

    socket->send_to("127.0.0.1", peer.port(), "reply");
    const auto reply = peer.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->first, "reply");
    EXPECT_EQ(reply->second, port);
}

// Catches: an address-reuse option that lets two sockets share a port, names
// resolved instead of refused, ports outside 0..65535 wrapped around, and
// failures that do not name their step, address and port.
TEST_F(udp_socket_test, second_bind_of_a_port_and_anything_but_literals_fail) {
    const int port = free_udp_port();
    auto first = m_loop->create_udp_socket("127.0.0.1", port);
    try {
        m_loop->create_udp_socket(core::ip_protocol::v4, port);
        FAIL() << "the second bind succeeded";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
        EXPECT_EQ(std::string(e.what()), "bind 0.0.0.0:" + std::to_string(port) + ": " + std::strerror(EADDRINUSE));
    }
    try {
        first->send_to("127.0.0.1", port, std::string(70000, 'x'));
        FAIL() << "a datagram larger than IPv4 allows was sent";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().category(), boost::system::system_category());
        EXPECT_EQ(std::string(e.what()), "send_to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(EMSGSIZE));
    }
    EXPECT_THROW(m_loop->create_udp_socket("localhost", 0), boost::system::system_error);
    EXPECT_THROW(m_loop->create_udp_socket(core::ip_protocol::v4, 65536 + port), boost::system::system_error);
    EXPECT_THROW(first->send_to("localhost", port, "x"), boost::system::system_error);
}

// Catches: an exception from the callback that ends receiving, datagrams left
// queued (beyond one wake-up's share, or after an exception) until another
// one arrives, and an old callback still called after set_receive_callback
// replaced it.
TEST_F(udp_socket_test, throwing_callback_gets_the_next_datagrams_and_a_new_callback_replaces_it) {
    const int port = free_udp_port();
    auto socket = m_loop->create_udp_socket("127.0.0.1", port);
    plain_udp peer;
    std::vector<datagram> got;
    peer.send_to("127.0.0.1", port, "throw");
    for (int i = 0; i < 60; ++i) {
        peer.send_to("127.0.0.1", port, std::to_string(i));
    }
    socket->set_receive_callback(record(got));
    EXPECT_THROW(run_until(m_io, [] { return false; }), std::runtime_error);
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 61; }));
    EXPECT_EQ(got[1].data, "0");
    EXPECT_EQ(got[60].data, "59");

    std::vector<datagram> second;
    socket->set_receive_callback(record(second));
    peer.send_to("127.0.0.1", port, "to the second");
    ASSERT_TRUE(run_until(m_io, [&] { return second.size() == 1; }));
    run_ready(m_io);
    EXPECT_EQ(got.size(), 61u);
    EXPECT_EQ(second.size(), 1u);
}

// Catches: a read that fails after readiness calling the callback, ending the
// receive loop, or logging at every occurrence. The failure is real: the
// socket, connected to a port where nobody listens, learns of the ICMP
// port-unreachable as a pending error that makes it readable and its next read
// fail with ECONNREFUSED.
TEST_F(udp_socket_test, failed_read_calls_nothing_is_logged_once_and_receiving_goes_on) {
    log_capture log(m_logger);
    const int port = free_udp_port();
    auto socket = m_loop->create_udp_socket("127.0.0.1", port);
    std::vector<datagram> got;
    socket->set_receive_callback(record(got));
    const int fd = udp_fd_bound_to(port);
    ASSERT_GE(fd, 0);
    const int closed_port = free_udp_port();
    const address nobody("127.0.0.1", closed_port);
    ASSERT_EQ(::connect(fd, nobody.get(), nobody.length), 0);
    const auto error_pending = [fd] {
        pollfd state{fd, 0, 0};
        return ::poll(&state, 1, 0) == 1 && (state.revents & POLLERR) != 0;
    };
    for (int round = 0; round < 2; ++round) {
        socket->send_to(endpoint(make_address("127.0.0.1"), static_cast<unsigned short>(closed_port)), "probe");
        ASSERT_TRUE(orq::test::wait_until(error_pending));
        // The loop's read takes the error.
        ASSERT_TRUE(run_until(m_io, [&] { return !error_pending(); }));
    }
    sockaddr disconnect{};
    disconnect.sa_family = AF_UNSPEC;
    ASSERT_EQ(::connect(fd, &disconnect, sizeof disconnect), 0);
    plain_udp peer;
    peer.send_to("127.0.0.1", port, "after");
    ASSERT_TRUE(run_until(m_io, [&] { return !got.empty(); }));
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, "after");

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find(std::strerror(ECONNREFUSED)), std::string::npos) << lines[0];
}

// Catches: a socket destroyed by another socket's callback that still
// delivers the datagram waiting for it, and a pending wait that destruction
// cancels calling back or logging (a callback on a destroyed object, use after
// free under ASan).
TEST_F(udp_socket_test, destruction_with_a_wait_pending_calls_nothing_and_logs_nothing) {
    log_capture log(m_logger);
    int calls = 0;
    std::vector<core::udp::socket::ptr> pair;
    std::vector<int> ports;
    for (std::size_t i = 0; i < 2; ++i) {
        ports.push_back(free_udp_port());
        pair.push_back(m_loop->create_udp_socket("127.0.0.1", ports[i]));
        // Whichever delivers first destroys the other, which has a datagram
        // waiting too.
        pair[i]->set_receive_callback(
            [&, other = 1 - i](const endpoint&, const boost::asio::ip::address_v4&, const core::udp::socket::message&) {
                ++calls;
                pair[other].reset();
            });
    }
    run_ready(m_io);
    plain_udp peer;
    peer.send_to("127.0.0.1", ports[0], "first");
    peer.send_to("127.0.0.1", ports[1], "second");
    ASSERT_TRUE(run_until(m_io, [&] { return calls > 0; }));
    run_ready(m_io);
    EXPECT_EQ(calls, 1);

    const int port = free_udp_port();
    auto socket = m_loop->create_udp_socket("127.0.0.1", port);
    socket->set_receive_callback(
        [&](const endpoint&, const boost::asio::ip::address_v4&, const core::udp::socket::message&) { ++calls; });
    run_ready(m_io);
    peer.send_to("127.0.0.1", port, "too late");
    socket.reset();
    run_ready(m_io);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(log.lines().empty());
}

// Catches: an IPv6 sender read into an IPv4-sized address (cut or garbage),
// and the local address of a v4-mapped datagram lost on an IPv6 socket.
TEST_F(udp_socket_test, ipv6_socket_reports_ipv6_and_v4_mapped_senders) {
    const int port = free_udp_port();
    std::unique_ptr<plain_udp> peer6;
    try {
        peer6 = std::make_unique<plain_udp>("::1", 0);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    auto socket = m_loop->create_udp_socket(core::ip_protocol::v6, port);
    plain_udp peer4;
    std::vector<datagram> got;
    socket->set_receive_callback(record(got));
    peer6->send_to("::1", port, "six");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 1; }));
    peer4.send_to("127.0.0.1", port, "four");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 2; }));

    EXPECT_EQ(got[0].remote, endpoint(make_address("::1"), static_cast<unsigned short>(peer6->port())));
    EXPECT_EQ(got[0].local, boost::asio::ip::address_v4());
    EXPECT_EQ(got[0].data, "six");
    EXPECT_EQ(got[1].remote, endpoint(make_address("::ffff:127.0.0.1"), static_cast<unsigned short>(peer4.port())));
    EXPECT_EQ(got[1].local, make_address_v4("127.0.0.1"));
    EXPECT_EQ(got[1].data, "four");
}

// Catches: the header's destination (the broadcast address) reported as the
// local address instead of the receiving interface's own address. Runs in a
// private network namespace with an interface of its own (a separate process,
// so that nothing outside it is touched).
TEST(udp_socket_broadcast, local_address_is_the_interface_address) {
    orq::test::child_process probe({ORQ_TEST_PROGRAM_DIR "/udp_broadcast_probe"});
    const int status = probe.exit_code();
    const std::string output = probe.stdout_text();
    if (status == 77) {
        GTEST_SKIP() << output;
    }
    ASSERT_EQ(status, 0) << output << probe.stderr_text();
    EXPECT_NE(output.find("remote=10.200.0.1:"), std::string::npos) << output;
    EXPECT_NE(output.find(" local=10.200.0.1 data=broadcast"), std::string::npos) << output;
}

// Catches: a socket bound to port 0 that cannot tell the port it got, or
// tells another one.
TEST_F(udp_socket_test, port_zero_socket_reports_the_port_it_got) {
    auto socket = m_loop->create_udp_socket("127.0.0.1", 0);
    const endpoint local = socket->local_endpoint();
    EXPECT_EQ(local.address(), make_address("127.0.0.1"));
    ASSERT_NE(local.port(), 0);
    std::vector<datagram> got;
    socket->set_receive_callback(record(got));
    plain_udp peer;
    peer.send_to("127.0.0.1", local.port(), "here");
    ASSERT_TRUE(run_until(m_io, [&] { return got.size() == 1; }));
    EXPECT_EQ(got[0].data, "here");
}
