// The TCP echo example, built against the installed tree, with plain TCP
// sockets as its peers.

#include "socket_peers.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {
using orq::test::child_process;
using orq::test::socket_peers::plain_fd;
using namespace std::chrono_literals;

// Reads exactly _size bytes, at most 64 KiB per read, or fails the test.
std::string receive_exactly(const plain_fd& _peer, std::size_t _size) {
    std::string bytes;
    std::string buffer(65536, '\0');
    while (bytes.size() < _size) {
        pollfd ready{_peer.get(), POLLIN, 0};
        if (::poll(&ready, 1, 60000) != 1) {
            ADD_FAILURE() << "no echo after " << bytes.size() << " of " << _size << " bytes";
            break;
        }
        const auto n = ::recv(_peer.get(), buffer.data(), std::min(buffer.size(), _size - bytes.size()), 0);
        if (n <= 0) {
            ADD_FAILURE() << "connection ended after " << bytes.size() << " of " << _size << " bytes";
            break;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return bytes;
}

// A connection whose receive buffer is small, so that the echo of a large
// payload must wait in the server's send queue.
plain_fd slow_reader(int _port) {
    const orq::test::socket_peers::address to("127.0.0.1", _port);
    plain_fd connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    orq::test::socket_peers::check(connection.get() >= 0, "socket");
    const int small = 65536;
    orq::test::socket_peers::check(::setsockopt(connection.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0,
                                   "SO_RCVBUF");
    orq::test::socket_peers::check(::connect(connection.get(), to.get(), to.length) == 0, "connect");
    return connection;
}

class example_tcp_echo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_echo.wait_stdout_contains("\n", 30s)) << m_echo.stdout_text() << m_echo.stderr_text();
        const std::string& out = m_echo.stdout_text();
        const auto colon = out.rfind(':', out.find('\n'));
        ASSERT_EQ(out.rfind("orq-tcp-echo: echoing on 127.0.0.1:", 0), 0u) << out;
        m_port = std::atoi(out.c_str() + colon + 1);
        ASSERT_GT(m_port, 0) << out;
    }

    // Waits until the server has reported the line.
    void expect_line(const std::string& _line) {
        EXPECT_TRUE(m_echo.wait_stdout_contains("orq-tcp-echo: " + _line + "\n", 60s))
            << "no \"" << _line << "\" in:\n"
            << m_echo.stdout_text() << m_echo.stderr_text();
    }

    child_process m_echo{{ORQ_EXAMPLE_PROGRAM, "127.0.0.1", "0"}};
    int m_port = 0;
};
}  // namespace

// Catches: bytes echoed to the wrong peer, lost, reordered or cut; a
// connection not freed when its peer closes or resets; a large echo that stalls
// against a slow reader; a server that stops accepting after a peer left; a
// server that does not stop in order on SIGTERM.
TEST_F(example_tcp_echo, echoes_to_peers_coming_and_going_and_stops_in_order) {
    using orq::test::socket_peers::plain_connect;
    using orq::test::socket_peers::send_all;
    std::size_t echoed = 0;

    // Peers in turn, each one gone before the next comes.
    for (int peer = 1; peer <= 3; ++peer) {
        plain_fd connection = plain_connect(m_port);
        const std::string bytes = "hello from peer " + std::to_string(peer);
        send_all(connection.get(), bytes);
        EXPECT_EQ(receive_exactly(connection, bytes.size()), bytes);
        echoed += bytes.size();
        connection.reset();
        expect_line("peer " + std::to_string(peer) + " gone");
    }

    // Peers at once, their bytes interleaved.
    std::vector<plain_fd> together;
    for (int peer = 0; peer < 4; ++peer) {
        together.push_back(plain_connect(m_port));
    }
    for (int round = 0; round < 3; ++round) {
        for (std::size_t peer = 0; peer < together.size(); ++peer) {
            send_all(together[peer].get(), "round " + std::to_string(round) + " peer " + std::to_string(peer) + ";");
        }
    }
    for (std::size_t peer = 0; peer < together.size(); ++peer) {
        std::string expected;
        for (int round = 0; round < 3; ++round) {
            expected += "round " + std::to_string(round) + " peer " + std::to_string(peer) + ";";
        }
        EXPECT_EQ(receive_exactly(together[peer], expected.size()), expected) << "peer " << peer;
        echoed += expected.size();
    }

    // A few MiB sent whole before a single byte is read back.
    {
        plain_fd reader = slow_reader(m_port);
        const std::string large = orq::test::socket_peers::pattern(4 * 1024 * 1024 + 17);
        send_all(reader.get(), large);
        EXPECT_TRUE(receive_exactly(reader, large.size()) == large) << "the large echo differs";
        echoed += large.size();
    }
    expect_line("peer 8 gone");

    // A peer that resets mid-conversation.
    {
        plain_fd resetting = plain_connect(m_port);
        send_all(resetting.get(), "short-lived");
        EXPECT_EQ(receive_exactly(resetting, 11), "short-lived");
        echoed += 11;
        orq::test::socket_peers::reset_connection(resetting);
    }
    expect_line("peer 9 gone");

    // The peers that stayed still get their echo.
    send_all(together[0].get(), "still here");
    EXPECT_EQ(receive_exactly(together[0], 10), "still here");
    echoed += 10;

    // The signal thread installs its handler after start-up: a SIGTERM before
    // that would end the program unhandled.
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::catches_signals(m_echo.pid(), {SIGTERM}); },
                                      std::chrono::seconds(30)));
    m_echo.send_signal(SIGTERM);
    const auto status = m_echo.wait_exit(60s);
    ASSERT_TRUE(status) << "still running after SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << m_echo.stderr_text();
    EXPECT_NE(m_echo.stdout_text().find("served 9 peers, echoed " + std::to_string(echoed) + " bytes"),
              std::string::npos)
        << m_echo.stdout_text();
}

// Catches: a bind failure that is not reported, or reported as a crash.
TEST(example_tcp_echo_setup, a_port_in_use_is_reported) {
    const orq::test::socket_peers::plain_listener taken;
    child_process echo({ORQ_EXAMPLE_PROGRAM, "127.0.0.1", std::to_string(taken.port())});
    EXPECT_EQ(echo.exit_code(std::chrono::seconds(30)), 1);
    EXPECT_NE(echo.stderr_text().find("orq-tcp-echo: bind 127.0.0.1:" + std::to_string(taken.port()) + ": "),
              std::string::npos)
        << echo.stderr_text();
}
