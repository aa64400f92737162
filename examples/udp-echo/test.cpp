// The UDP echo example, built against the installed tree, with plain UDP
// sockets as its peers.

#include "socket_peers.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/wait.h>

namespace {
using orq::test::child_process;
using orq::test::socket_peers::plain_udp;
}  // namespace

// Catches: an echo to the wrong peer, a changed or cut datagram, a service that
// does not stop in order on SIGTERM.
TEST(example_udp_echo, answers_each_peer_with_its_own_datagrams_and_stops_in_order) {
    const int port = orq::test::socket_peers::free_udp_port();
    child_process echo({ORQ_EXAMPLE_PROGRAM, "127.0.0.1", std::to_string(port)});
    ASSERT_TRUE(echo.wait_stdout_contains("echoing on 127.0.0.1:" + std::to_string(port), std::chrono::seconds(30)))
        << echo.stdout_text() << echo.stderr_text();

    const plain_udp first;
    const plain_udp second;
    const std::string large = orq::test::socket_peers::pattern(9000);
    int sent = 0;
    for (const std::string& datagram : {std::string("one"), std::string(), large, std::string("a\0b", 3)}) {
        for (const plain_udp* peer : {&first, &second}) {
            const std::string bytes = datagram + (peer == &first ? "" : "/2");
            peer->send_to("127.0.0.1", port, bytes);
            ++sent;
            const auto echoed = peer->receive(30000);
            ASSERT_TRUE(echoed) << "no echo of a datagram of " << bytes.size() << " bytes";
            EXPECT_EQ(echoed->first, bytes);
            EXPECT_EQ(echoed->second, port);
        }
    }

    // The signal thread installs its handler after start-up: a SIGTERM before
    // that would end the program unhandled.
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::catches_signals(echo.pid(), {SIGTERM}); },
                                      std::chrono::seconds(30)));
    echo.send_signal(SIGTERM);
    const auto status = echo.wait_exit(std::chrono::seconds(30));
    ASSERT_TRUE(status) << "still running after SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_NE(echo.stdout_text().find("echoed " + std::to_string(sent) + " datagrams"), std::string::npos)
        << echo.stdout_text();
}

// Catches: a bind failure that is not reported, or reported as a crash.
TEST(example_udp_echo, a_port_in_use_is_reported) {
    const plain_udp taken;
    child_process echo({ORQ_EXAMPLE_PROGRAM, "127.0.0.1", std::to_string(taken.port())});
    EXPECT_EQ(echo.exit_code(std::chrono::seconds(30)), 1);
    EXPECT_NE(echo.stderr_text().find("orq-udp-echo: bind 127.0.0.1:" + std::to_string(taken.port()) + ": "),
              std::string::npos)
        << echo.stderr_text();
}
