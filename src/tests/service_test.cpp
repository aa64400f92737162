// The real agent under a stand-in service manager (a datagram socket of the
// test as NOTIFY_SOCKET): readiness, watchdog pings, status lines, stopping;
// its status line on SIGUSR1; and its orderly end when the reader of its
// standard output goes away.

#include "agent.hpp"
#include "syslog_listener.hpp"
#include "zmq_peers.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace orq::test;
using namespace orq::test::zmq_peers;

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// The service manager's end of the notification protocol: a datagram socket
// bound to a path, one datagram per notification.
class notify_socket {
public:
    explicit notify_socket(const std::string& _path) : m_path(_path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, _path.c_str(), sizeof address.sun_path - 1);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~notify_socket() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    notify_socket(const notify_socket&) = delete;
    notify_socket& operator=(const notify_socket&) = delete;

    bool bound() const { return m_bound; }
    const std::string& path() const { return m_path; }

    // The next datagram, or none after the timeout.
    std::optional<std::string> receive(std::chrono::milliseconds _timeout) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(_timeout.count() / 1000);
        limit.tv_usec = static_cast<suseconds_t>((_timeout.count() % 1000) * 1000);
        if (_timeout.count() == 0) {
            limit.tv_usec = 1;
        }
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[4096];
        const ssize_t size = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (size < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<std::size_t>(size));
    }

    // Reads until a datagram holds the text; that datagram, or none after the
    // timeout. Every datagram read is kept in _seen when given.
    std::optional<std::string> wait_for(const std::string& _text, std::chrono::milliseconds _timeout = 20s,
                                        std::vector<std::string>* _seen = nullptr) {
        const auto end = steady::now() + _timeout;
        while (steady::now() < end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now());
            auto datagram = receive(std::max(left, 1ms));
            if (!datagram) {
                continue;
            }
            if (_seen) {
                _seen->push_back(*datagram);
            }
            if (datagram->find(_text) != std::string::npos) {
                return datagram;
            }
        }
        return std::nullopt;
    }

    // Everything already queued.
    std::vector<std::string> drain() {
        std::vector<std::string> datagrams;
        while (auto datagram = receive(0ms)) {
            datagrams.push_back(*datagram);
        }
        return datagrams;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
};

// The agent with the service manager's environment: the socket and a
// watchdog interval meant for whichever process reads it (no WATCHDOG_PID).
std::vector<std::string> agent_under_manager(const notify_socket& _socket, std::vector<std::string> _args) {
    std::vector<std::string> argv = {"/usr/bin/env",         "-u",
                                     "WATCHDOG_PID",         "NOTIFY_SOCKET=" + _socket.path(),
                                     "WATCHDOG_USEC=400000", ORQ_AGENT_BINARY};
    argv.insert(argv.end(), _args.begin(), _args.end());
    return argv;
}

// The scheduling state letter of a process ('T' once a SIGSTOP took effect).
char process_state(pid_t _pid) {
    std::ifstream stat("/proc/" + std::to_string(_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end_of_name = text.rfind(") ");
    return end_of_name == std::string::npos || end_of_name + 2 >= text.size() ? '?' : text[end_of_name + 2];
}

std::size_t count_of(const std::vector<std::string>& _datagrams, const std::string& _text) {
    return static_cast<std::size_t>(std::count_if(_datagrams.begin(), _datagrams.end(), [&](const std::string& _d) {
        return _d.find(_text) != std::string::npos;
    }));
}

std::size_t lines_of(const std::string& _text) {
    return static_cast<std::size_t>(std::count(_text.begin(), _text.end(), '\n'));
}

class agent_service : public ::testing::Test {
protected:
    syslog_listener listener;
    temp_dir dir;
};

}  // namespace

// Catches: no readiness, readiness before the output is open or before the
// tap is subscribed, pings missing or not at half the watchdog's interval, a
// status line that does not follow the frames written, pings that go on
// while the loop cannot turn (a timer thread of its own would), no
// STOPPING=1 at SIGTERM.
TEST_F(agent_service, notifies_readiness_watchdog_status_and_stopping) {
    notify_socket manager(dir.file("notify"));
    ASSERT_TRUE(manager.bound()) << std::strerror(errno);
    // An XPUB tells the test when the agent's subscription has reached it.
    plain_socket publisher(::zmq::socket_type::xpub);
    publisher.get().set(::zmq::sockopt::sndhwm, 0);
    const std::string port = std::to_string(endpoint_port(publisher.bind_loopback()));
    const auto out = dir.file("out.log");

    child_process agent(agent_under_manager(manager, {"-a", port, "-f", out}));
    const auto ready = manager.wait_for("READY=1");
    ASSERT_TRUE(ready);
    EXPECT_TRUE(std::filesystem::exists(out));
    EXPECT_NE(ready->find("STATUS=tapping tcp://localhost:" + port), std::string::npos) << *ready;

    // The subscription was made before READY=1: it reaches the publisher
    // without anything more from the test, and the first frame is written.
    const auto subscription = publisher.receive(20s);
    ASSERT_TRUE(subscription);
    EXPECT_EQ(*subscription, std::string(1, '\1'));
    publisher.send("first");
    ASSERT_TRUE(wait_until([&] { return read_file(out) == "first\n"; }, 20s));

    // 400 ms asked for: a ping every 200 ms. A loaded machine may delay
    // some; missed ones are skipped, never bunched.
    manager.drain();
    std::vector<std::string> seen;
    const auto window_end = steady::now() + 3s;
    while (steady::now() < window_end) {
        if (auto datagram = manager.receive(50ms)) {
            seen.push_back(*datagram);
        }
    }
    const auto pings = count_of(seen, "WATCHDOG=1");
    EXPECT_GE(pings, 5u);
    EXPECT_LE(pings, 17u);

    for (int i = 0; i < 100; ++i) {
        publisher.send("frame " + std::to_string(i));
    }
    ASSERT_TRUE(wait_until([&] { return lines_of(read_file(out)) == 101; }, 20s));
    const auto status = manager.wait_for("STATUS=tapping tcp://localhost:" + port + " \u2192 " + out + ": 101 frames");
    EXPECT_TRUE(status);

    // A stopped loop pings no more; once it runs again, it does.
    agent.send_signal(SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(agent.pid()) == 'T'; }));
    manager.drain();
    const auto stopped_end = steady::now() + 1500ms;
    std::vector<std::string> while_stopped;
    while (steady::now() < stopped_end) {
        if (auto datagram = manager.receive(50ms)) {
            while_stopped.push_back(*datagram);
        }
    }
    EXPECT_TRUE(while_stopped.empty()) << while_stopped.front();
    agent.send_signal(SIGCONT);
    EXPECT_TRUE(manager.wait_for("WATCHDOG=1"));

    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_TRUE(manager.wait_for("STOPPING=1"));
    EXPECT_EQ(agent.exit_code(), 0);
    EXPECT_TRUE(listener.wait_for("exit"));
}

// Catches: READY=1 sent before the tap is set up, so that a service manager
// would take an agent that cannot start for a running one.
TEST_F(agent_service, a_start_up_failure_is_never_ready) {
    notify_socket manager(dir.file("notify"));
    ASSERT_TRUE(manager.bound()) << std::strerror(errno);
    plain_publisher pub;
    child_process agent(agent_under_manager(manager, {"-a", pub.port(), "-f", dir.file("no/such/dir/out.log")}));
    EXPECT_EQ(agent.exit_code(), 1);
    EXPECT_EQ(count_of(manager.drain(), "READY=1"), 0u);
}

// Catches: SIGUSR1 ending the agent (its default action), or a status line
// that counts frames other than those written, or is not logged at info level.
TEST_F(agent_service, sigusr1_logs_the_status_line_with_the_frames_written) {
    plain_publisher pub;
    const auto out = dir.file("out.log");
    child_process agent(agent_argv({"-a", pub.port(), "-f", out}));
    ASSERT_TRUE(send_until_seen([&] { pub.send("probe"); }, [&] { return !read_file(out).empty(); }));
    for (int i = 0; i < 200; ++i) {
        pub.send("frame " + std::to_string(i));
    }
    ASSERT_TRUE(wait_until([&] { return read_file(out).find("frame 199\n") != std::string::npos; }));
    const std::size_t written = lines_of(read_file(out));
    ASSERT_LT(written, 1000u);  // printed without a thousands separator
    ASSERT_TRUE(wait_until([&] { return catches_signals(agent.pid(), {SIGUSR1}); }));

    agent.send_signal(SIGUSR1);
    const std::string expected =
        "tapping tcp://localhost:" + pub.port() + " \u2192 " + out + ": " + std::to_string(written) + " frames, ";
    const auto line = listener.wait_for(expected);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level(), LOG_INFO);
    EXPECT_NE(line->message.find(" ago"), std::string::npos) << line->message;

    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
    const auto records = listener.records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const auto& _r) { return _r.message.find("tapping ") != std::string::npos; }),
              1);
}

// Catches: the agent killed by SIGPIPE (status 141, no "exit" line) or left
// running, logging write errors, when the reader of its standard output
// has gone (as with `| head`).
TEST_F(agent_service, a_reader_that_goes_away_ends_the_agent_in_order) {
    plain_publisher pub;
    child_process shell({"/bin/bash", "-c", "\"$0\" -a \"$1\" | head -c 20 >/dev/null; echo \"agent ${PIPESTATUS[0]}\"",
                         ORQ_AGENT_BINARY, pub.port()});
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; !stop; ++i) {
            pub.send("frame " + std::to_string(i));
            std::this_thread::sleep_for(1ms);  // a steady flow, not a flood
        }
    });
    const bool ended = wait_until([&] { return shell.wait_exit(0ms).has_value(); }, 30s);
    stop = true;
    sender.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(shell.stdout_text(), "agent 0\n");
    EXPECT_TRUE(listener.wait_for("Standard output was closed by its reader, stopping"));
    EXPECT_TRUE(listener.wait_for("exit"));
    for (const auto& record : listener.records()) {
        EXPECT_FALSE(record.is_error()) << record.message;
    }
}
