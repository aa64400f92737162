// The Redis counter example, built against the installed tree, with a private
// redis-server as its peer, killed and started again under it.

#include "redis_server.hpp"
#include "socket_peers.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include <sys/wait.h>

namespace {
using orq::test::child_process;
using orq::test::redis_peer;
using orq::test::redis_server;
using namespace std::chrono_literals;
}  // namespace

// Catches: a counter that stops for good when its server goes, a loss or a
// return that is not reported, counting that does not resume on the new
// server, a program that does not stop in order on SIGTERM.
TEST(example_redis_counter, counts_on_across_a_server_restart) {
    redis_server server;
    child_process counter({ORQ_EXAMPLE_PROGRAM, "127.0.0.1", std::to_string(server.port()), "example:count"});
    ASSERT_TRUE(counter.wait_stdout_contains("orq-redis-counter: counter 3\n", 60s))
        << counter.stdout_text() << counter.stderr_text();

    server.kill();
    ASSERT_TRUE(counter.wait_stdout_contains("orq-redis-counter: connection lost (", 60s))
        << counter.stdout_text() << counter.stderr_text();
    server.restart();
    // The new server starts empty; from 1000 on, every value printed can only
    // come from it, whether the counter got there before this SET or after.
    EXPECT_EQ(redis_peer(server.port()).call({"SET", "example:count", "1000"}), "OK");
    ASSERT_TRUE(counter.wait_stdout_contains("orq-redis-counter: counter 1002\n", 60s))
        << counter.stdout_text() << counter.stderr_text();
    const std::string out = counter.stdout_text();
    const auto lost = out.find("connection lost");
    const auto back = out.find("orq-redis-counter: connection back\n");
    ASSERT_NE(back, std::string::npos) << out;
    EXPECT_LT(lost, back) << out;
    EXPECT_GE(std::stoll(redis_peer(server.port()).call({"GET", "example:count"})), 1002);

    // The signal thread installs its handler after start-up: a SIGTERM before
    // that would end the program unhandled.
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::catches_signals(counter.pid(), {SIGTERM}); },
                                      std::chrono::seconds(30)));
    counter.send_signal(SIGTERM);
    const auto status = counter.wait_exit(60s);
    ASSERT_TRUE(status) << "still running after SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << counter.stderr_text();
}

// Catches: an unreachable server at the start that hangs the program or
// crashes it instead of a clear error.
TEST(example_redis_counter, no_server_at_the_start_is_reported) {
    int port = 0;
    {
        const orq::test::socket_peers::plain_listener closed_again;
        port = closed_again.port();
    }
    child_process counter({ORQ_EXAMPLE_PROGRAM, "127.0.0.1", std::to_string(port), "example:count"});
    EXPECT_EQ(counter.exit_code(60s), 1);
    EXPECT_NE(counter.stderr_text().find("orq-redis-counter: no Redis server at 127.0.0.1:" + std::to_string(port)),
              std::string::npos)
        << counter.stderr_text();
}
