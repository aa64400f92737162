// The agent end to end: the real binary subscribed to a plain libzmq
// publisher (or to the demo broker), writing to a file or to a pipe.

#include "agent.hpp"
#include "syslog_listener.hpp"
#include "zmq_peers.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace orq::test;
using namespace orq::test::zmq_peers;

namespace {

using namespace std::chrono_literals;

// Publishes the probe until it shows up as a line of the output, so that later
// frames are known to be received.
template <typename Output>
bool sync_subscription(plain_publisher& _publisher, const std::string& _probe, Output _output) {
    return orq::test::send_until_seen([&] { _publisher.send(_probe); },
                                      [&] { return _output().find(_probe + "\n") != std::string::npos; });
}

// What the output holds after the last probe line.
std::string after_probes(const std::string& _output, const std::string& _probe) {
    const auto last = _output.rfind(_probe + "\n");
    return last == std::string::npos ? _output : _output.substr(last + _probe.size() + 1);
}

class agent_tap : public ::testing::Test {
protected:
    syslog_listener listener;
    temp_dir dir;
    plain_publisher pub;
};

}  // namespace

// Catches: frames altered, split, escaped or lost on the way to standard
// output; the bare port not completed to tcp://localhost.
TEST_F(agent_tap, every_frame_is_written_byte_for_byte_without_subscriptions) {
    child_process agent(agent_argv({"-a", pub.port()}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return agent.stdout_text(); }));

    std::string binary;
    for (int i = 0; i < 256; ++i) {
        binary.push_back(static_cast<char>(i));
    }
    const std::vector<std::string> frames = {"plain", std::string("with\0nul", 8), "two\nlines", "",
                                             binary,  std::string(70000, 'x')};
    std::string expected;
    for (const auto& frame : frames) {
        pub.send(frame);
        expected += frame + "\n";
    }
    pub.send("end");
    expected += "end\n";
    ASSERT_TRUE(agent.wait_stdout_contains(std::string(70000, 'x') + "\nend\n"));
    EXPECT_EQ(after_probes(agent.stdout_text(), "probe"), expected);

    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGINT);
    EXPECT_EQ(agent.exit_code(), 0);
    EXPECT_TRUE(listener.wait_for("exit"));
}

// Catches: a frame written twice when two topics prefix it, or topics not
// filtering.
TEST_F(agent_tap, overlapping_topics_write_a_frame_once) {
    child_process agent(agent_argv({"-a", "tcp://127.0.0.1:" + pub.port(), "-s", "ab", "-s", "a"}));
    ASSERT_TRUE(sync_subscription(pub, "a-probe", [&] { return agent.stdout_text(); }));
    pub.send("abc");
    pub.send("zzz");
    pub.send("b");
    pub.send("a-end");
    ASSERT_TRUE(agent.wait_stdout_contains("a-end\n"));
    EXPECT_EQ(after_probes(agent.stdout_text(), "a-probe"), "abc\na-end\n");
    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
}

// Catches: output buffered across messages (a reader on a pipe must see each
// line before the next frame is even published).
TEST_F(agent_tap, each_line_is_flushed_as_it_arrives) {
    child_process agent(agent_argv({"-a", pub.port()}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return agent.stdout_text(); }));
    for (int i = 0; i < 20; ++i) {
        const std::string line = "line " + std::to_string(i);
        pub.send(line);
        ASSERT_TRUE(agent.wait_stdout_contains(line + "\n")) << line;
    }
    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
}

// Catches: an output file truncated instead of appended to, lines lost at
// shutdown.
TEST_F(agent_tap, output_file_is_appended_and_complete_at_sigterm) {
    const auto out = dir.file("out.log");
    orq::test::write_file(out, "old content\n");
    child_process agent(agent_argv({"-a", pub.port(), "-f", out}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return orq::test::read_file(out); }));
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const std::string frame = "frame " + std::to_string(i);
        pub.send(frame);
        expected += frame + "\n";
    }
    ASSERT_TRUE(
        orq::test::wait_until([&] { return orq::test::read_file(out).find("frame 999\n") != std::string::npos; }));
    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
    const auto content = orq::test::read_file(out);
    EXPECT_EQ(content.rfind("old content\nprobe\n", 0), 0u);
    EXPECT_EQ(after_probes(content, "probe"), expected);
    EXPECT_TRUE(listener.wait_for("exit"));
    EXPECT_TRUE(agent.stdout_text().empty());
}

// Catches: start-up failures of the tap reported as success or not logged.
TEST_F(agent_tap, start_up_failures_exit_with_one_error) {
    struct failure {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<failure> failures = {
        {{"-a", pub.port(), "-f", dir.file("no/such/dir/out.log")},
         "Cannot open the file: " + dir.file("no/such/dir/out.log")},
        {{"-a", pub.port(), "-f", dir.path()}, "Cannot open the file: " + dir.path()},
        {{"-a", "nonsense://host:1"}, "std::exception::what(): "},
        {{"-a", "tcp://:"}, "std::exception::what(): "},
    };
    for (const auto& f : failures) {
        listener.clear();
        child_process agent(agent_argv(f.args));
        EXPECT_EQ(agent.exit_code(), 1) << f.error;
        EXPECT_TRUE(listener.wait_for(f.error)) << f.error;
        const auto records = listener.records();
        EXPECT_EQ(std::count_if(records.begin(), records.end(), [](auto& _r) { return _r.is_error(); }), 1) << f.error;
    }
}

// A tmpfs of 64 KiB mounted under the directory, unmounted on destruction.
class small_tmpfs {
public:
    explicit small_tmpfs(const std::string& _mount_point) : m_mount_point(_mount_point) {
        std::filesystem::create_directory(m_mount_point);
        m_mounted = ::mount("tmpfs", m_mount_point.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~small_tmpfs() {
        if (m_mounted) {
            ::umount2(m_mount_point.c_str(), MNT_DETACH);
        }
    }
    small_tmpfs(const small_tmpfs&) = delete;
    small_tmpfs& operator=(const small_tmpfs&) = delete;
    bool mounted() const { return m_mounted; }

    // Takes every free page with a file of its own.
    void fill(const std::string& _filler) const {
        const int fd = ::open(_filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size())) {
        }
        ::close(fd);
    }

private:
    std::string m_mount_point;
    bool m_mounted = false;
};

// Catches: a line cut by a full disk written again whole after the cut part
// (the stream's buffer keeping bytes the kernel already took), frames lost or
// reordered once space is back, a write failure that ends the process or
// floods the log. The output is a file given with -f, or a file that standard
// output is redirected to (not in append mode): the exact bytes are compared.
TEST_F(agent_tap, a_line_cut_by_a_full_disk_is_removed_and_writing_resumes) {
    for (const bool to_stdout : {false, true}) {
        SCOPED_TRACE(to_stdout ? "standard output" : "-f");
        listener.clear();
        const std::string mount_point = dir.file(to_stdout ? "small-stdout" : "small-file");
        small_tmpfs fs(mount_point);
        ASSERT_TRUE(fs.mounted()) << std::strerror(errno);
        const auto out = mount_point + "/out.log";
        const auto filler = mount_point + "/filler";

        const std::vector<std::string> argv =
            to_stdout ? std::vector<std::string>{"/bin/sh",        "-c",       "exec \"$0\" -a \"$1\" > \"$2\"",
                                                 ORQ_AGENT_BINARY, pub.port(), out}
                      : agent_argv({"-a", pub.port(), "-f", out});
        child_process agent(argv);
        auto output = [&] { return orq::test::read_file(out); };
        ASSERT_TRUE(sync_subscription(pub, "probe", output));
        pub.send("ready");
        ASSERT_TRUE(orq::test::wait_until([&] { return output().find("ready\n") != std::string::npos; }));
        const std::string before = output();

        // Pad the file so that its last page has 1,500 bytes of room once the
        // file system is full: the 3,000-byte line then meets the full disk
        // half-way.
        const std::size_t padded_size = 4096 - 1500;
        const std::string pad((padded_size - before.size() % 4096 - 1 + 4096) % 4096, 'p');
        pub.send(pad);
        ASSERT_TRUE(orq::test::wait_until([&] { return output().size() == before.size() + pad.size() + 1; }));
        fs.fill(filler);

        std::string cut_line;
        for (int i = 0; cut_line.size() < 3000; ++i) {
            cut_line += "cut" + std::to_string(i % 10);
        }
        cut_line.resize(3000);
        pub.send(cut_line);
        ASSERT_TRUE(listener.wait_for("Cannot write to the output"));

        std::filesystem::remove(filler);
        pub.send("after");
        pub.send("final");
        ASSERT_TRUE(orq::test::wait_until([&] { return output().find("final\n") != std::string::npos; }));
        EXPECT_EQ(output(), before + pad + "\n" + "after\n" + "final\n");

        EXPECT_TRUE(listener.wait_for("Writing to the output succeeds again"));
        int write_errors = 0;
        for (const auto& r : listener.records()) {
            write_errors += r.message.find("Cannot write to the output") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(write_errors, 1);

        ASSERT_TRUE(ready_for_signals(agent));
        agent.send_signal(SIGTERM);
        EXPECT_EQ(agent.exit_code(), 0);
    }
}

// Catches: the agent ending, or no longer tapping, after an exception escaped
// its loop (here from a preloaded epoll_wait that throws once on demand): the
// exception is logged, the loop runs again and no frame is lost.
TEST_F(agent_tap, an_exception_escaping_the_loop_is_logged_and_tapping_goes_on) {
    const std::string trigger = dir.file("throw");
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    child_process agent(
        {"/usr/bin/env", std::string("LD_PRELOAD=") + ORQ_THROWING_EPOLL_WAIT, "ORQ_THROW_TRIGGER=" + trigger,
         // The sanitizer runtime would insist on being preloaded first.
         "ASAN_OPTIONS=" + (asan_options ? std::string(asan_options) + ":" : "") + "verify_asan_link_order=0",
         ORQ_AGENT_BINARY, "-a", pub.port()});
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return agent.stdout_text(); }));
    pub.send("before");
    ASSERT_TRUE(agent.wait_stdout_contains("before\n"));

    // Frames wake the loop until its next wait has thrown.
    orq::test::write_file(trigger, "");
    std::string expected = "before\n";
    ASSERT_TRUE(orq::test::wait_until([&] {
        pub.send("wake");
        expected += "wake\n";
        return !std::filesystem::exists(trigger);
    }));
    const auto error = listener.wait_for("std::exception::what(): epoll_wait failed on purpose");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is_error());
    pub.send("after");
    expected += "after\n";
    ASSERT_TRUE(agent.wait_stdout_contains("wake\nafter\n"));
    EXPECT_EQ(after_probes(agent.stdout_text(), "probe"), expected);

    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
}

// Catches: the agent not reconnecting when the broker restarts.
TEST_F(agent_tap, broker_restart_is_survived) {
    const auto debug_port = std::to_string(orq::test::free_tcp_port());
    const auto output_port = std::to_string(orq::test::free_tcp_port());
    const std::vector<std::string> broker_argv = {std::string(ORQ_TOOLS_DIR) + "/vusk-test-broker", "-d",
                                                  "tcp://127.0.0.1:" + debug_port, "-o",
                                                  "tcp://127.0.0.1:" + output_port};
    auto broker = std::make_unique<child_process>(broker_argv);
    ASSERT_TRUE(broker->wait_stderr_contains("forwarding"));

    plain_socket push(::zmq::socket_type::push);
    push.connect("tcp://127.0.0.1:" + debug_port);
    auto sees = [&](child_process& _agent, const std::string& _line) {
        return orq::test::send_until_seen([&] { push.send(_line, ::zmq::send_flags::dontwait); },
                                          [&] { return _agent.stdout_text().find(_line + "\n") != std::string::npos; },
                                          30s);
    };

    child_process agent(agent_argv({"-a", output_port}));
    ASSERT_TRUE(sees(agent, "before restart"));
    // The operator can tell an unreachable broker from an idle one.
    const std::string endpoint = "tcp://localhost:" + output_port;
    EXPECT_TRUE(listener.wait_for("Connected to " + endpoint));

    broker->send_signal(SIGKILL);
    broker->wait_exit();
    EXPECT_TRUE(listener.wait_for("Connection to " + endpoint + " lost"));
    listener.clear();
    broker = std::make_unique<child_process>(broker_argv);
    ASSERT_TRUE(broker->wait_stderr_contains("forwarding"));
    ASSERT_TRUE(sees(agent, "after restart"));
    EXPECT_TRUE(listener.wait_for("Connected to " + endpoint));

    ASSERT_TRUE(ready_for_signals(agent));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
    // Connections coming and going are no errors.
    for (const auto& record : listener.records()) {
        EXPECT_FALSE(record.is_error()) << record.message;
    }
}

namespace {

// The numbers of the "frame N" lines of an output, in file order; false when
// any other line than the probe is there or the last line is not ended.
bool frame_numbers(const std::string& _text, std::vector<int>& _numbers) {
    if (!_text.empty() && _text.back() != '\n') {
        return false;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = _text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = _text.substr(start, end - start);
        if (line == "probe" || line == "end") {
            continue;
        }
        if (line.rfind("frame ", 0) != 0 || line.size() < 7 ||
            line.find_first_not_of("0123456789", 6) != std::string::npos) {
            return false;
        }
        _numbers.push_back(std::stoi(line.substr(6)));
    }
    return true;
}

bool ends_on_its_own(child_process& _agent) {
    return orq::test::wait_until([&] { return _agent.wait_exit(0ms).has_value(); });
}

}  // namespace

// Catches: a line split between the rotated file and the new one, frames lost
// or written twice across the reopen, or SIGHUP ending the agent (its default
// action).
TEST_F(agent_tap, sighup_reopens_the_output_file_while_frames_flow) {
    const auto out = dir.file("out.log");
    const auto rotated = dir.file("out.log.1");
    child_process agent(agent_argv({"-a", pub.port(), "-f", out}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return orq::test::read_file(out); }));
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::catches_signals(agent.pid(), {SIGHUP}); }));

    int sent = 0;
    auto send_frames = [&](int _count) {
        for (int i = 0; i < _count; ++i) {
            pub.send("frame " + std::to_string(sent++));
        }
    };
    send_frames(5000);
    ASSERT_TRUE(
        orq::test::wait_until([&] { return orq::test::read_file(out).find("frame 1000\n") != std::string::npos; }));
    std::filesystem::rename(out, rotated);
    agent.send_signal(SIGHUP);
    // Queued behind the signal or in front of it: the reopen falls among them.
    send_frames(5000);
    ASSERT_TRUE(orq::test::wait_until([&] { return std::filesystem::exists(out); }));
    send_frames(5000);
    pub.send("end");
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::read_file(out).find("end\n") != std::string::npos; }));
    EXPECT_TRUE(listener.wait_for("SIGHUP: reopening the output file " + out));

    std::vector<int> numbers;
    ASSERT_TRUE(frame_numbers(orq::test::read_file(rotated), numbers));
    const std::size_t in_rotated = numbers.size();
    ASSERT_TRUE(frame_numbers(orq::test::read_file(out), numbers));
    EXPECT_GT(in_rotated, 1000u);
    EXPECT_LT(in_rotated, numbers.size());
    // Every frame once, in order, across both files.
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(sent));
    for (int i = 0; i < sent; ++i) {
        ASSERT_EQ(numbers[i], i);
    }

    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
}

// Catches: SIGHUP ending an agent that writes to a pipe or the journal, where
// there is no file to reopen.
TEST_F(agent_tap, sighup_without_a_file_leaves_standard_output_as_it_is) {
    child_process agent(agent_argv({"-a", pub.port()}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return agent.stdout_text(); }));
    ASSERT_TRUE(orq::test::wait_until([&] { return orq::test::catches_signals(agent.pid(), {SIGHUP}); }));
    agent.send_signal(SIGHUP);
    EXPECT_TRUE(listener.wait_for("SIGHUP: writing to standard output, nothing to reopen"));
    pub.send("after");
    EXPECT_TRUE(agent.wait_stdout_contains("after\n"));
    agent.send_signal(SIGTERM);
    EXPECT_EQ(agent.exit_code(), 0);
}

// Catches: an agent left running after its terminal hung up, or killed by the
// hangup without its orderly stop.
TEST_F(agent_tap, sighup_on_a_terminal_stops_the_agent_in_order) {
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        ::execl(ORQ_AGENT_BINARY, ORQ_AGENT_BINARY, "-a", pub.port().c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = -1;
    const auto reaped = [&] { return ::waitpid(pid, &status, WNOHANG) == pid; };
    const bool ready = orq::test::wait_until([&] { return orq::test::catches_signals(pid, {SIGHUP, SIGTERM}); });
    if (ready) {
        ::kill(pid, SIGHUP);
    }
    const bool ended = ready && orq::test::wait_until(reaped);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(terminal);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(listener.wait_for("SIGHUP: the terminal hung up, stopping"));
    EXPECT_TRUE(listener.wait_for("exit"));
}

// Catches: a stop in the middle of a stream of frames that leaks (the
// AddressSanitizer build's leak check turns a leak into a failed exit
// status), hangs, or leaves a torn last line.
TEST_F(agent_tap, sigterm_while_frames_flow_stops_cleanly) {
    const auto out = dir.file("out.log");
    child_process agent(agent_argv({"-a", pub.port(), "-f", out}));
    ASSERT_TRUE(sync_subscription(pub, "probe", [&] { return orq::test::read_file(out); }));
    ASSERT_TRUE(ready_for_signals(agent));

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (int i = 0; !stop; ++i) {
            pub.send("frame " + std::to_string(i));
        }
    });
    const bool flowing = orq::test::wait_until([&] { return orq::test::read_file(out).size() > 100000; });
    agent.send_signal(SIGTERM);
    const bool ended = ends_on_its_own(agent);
    stop = true;
    sender.join();
    ASSERT_TRUE(flowing);
    ASSERT_TRUE(ended);
    EXPECT_EQ(agent.exit_code(), 0) << agent.stderr_text();
    std::vector<int> numbers;
    EXPECT_TRUE(frame_numbers(orq::test::read_file(out), numbers));
}
