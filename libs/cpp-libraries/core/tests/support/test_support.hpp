#pragma once

// Helpers shared by the tests: bounded waiting, free loopback ports, child
// processes with pipes and signals, bounded runs of event loops.

#include <sys/types.h>
#include <time.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace orq::libs::core {
class events_loop;
}

namespace orq::test {

using namespace std::chrono_literals;

// Polls the predicate (every millisecond) until it holds or the timeout passes;
// returns its last value. For conditions that no event announces.
bool wait_until(const std::function<bool()>& _predicate, std::chrono::milliseconds _timeout = 10s);

// What is sent before a ZeroMQ subscription or connection has joined (it joins
// in the background) is dropped: calls _send, waits briefly for _seen (polled
// as by wait_until), and sends again until _seen holds or the timeout passes;
// returns _seen's last value.
bool send_until_seen(const std::function<void()>& _send, const std::function<bool()>& _seen,
                     std::chrono::milliseconds _timeout = 20s);

// Runs handlers of the io_context until the predicate holds or the timeout
// passes; returns the predicate's last value.
bool run_until(boost::asio::io_context& _io_context, const std::function<bool()>& _predicate,
               std::chrono::milliseconds _timeout = 10s);

// Runs every handler that is ready now, and those they make ready, up to the
// point where the io_context would have to wait.
void run_ready(boost::asio::io_context& _io_context);

// send_until_seen where handlers of the io_context make _seen hold: they run
// while it waits.
bool send_until_seen(boost::asio::io_context& _io_context, const std::function<void()>& _send,
                     const std::function<bool()>& _seen, std::chrono::milliseconds _timeout = 20s);

// The time of a CPU-time clock in seconds: CLOCK_PROCESS_CPUTIME_ID,
// CLOCK_THREAD_CPUTIME_ID, or another process's (clock_getcpuclockid); -1 when
// it cannot be read.
double cpu_seconds(clockid_t _clock = CLOCK_PROCESS_CPUTIME_ID);

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read
// back, closed).
int free_tcp_port();

// True when the process has handlers installed for all the signals (read from
// /proc/<pid>/status, SigCgt): a process is ready for an orderly stop.
bool catches_signals(pid_t _pid, std::initializer_list<int> _signals);

// A fresh directory under /tmp, removed with its content on destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& _name) const { return m_path + "/" + _name; }

private:
    std::string m_path;
};

std::string read_file(const std::string& _path);
void write_file(const std::string& _path, const std::string& _content);

// A child process started with fork/exec. Its standard output and standard
// error go to pipes that the test reads; it is killed (SIGKILL) and reaped on
// destruction if it still runs.
class child_process {
public:
    explicit child_process(std::vector<std::string> _argv, bool _capture_output = true);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return m_pid; }
    void send_signal(int _signal) const;

    // Waits for the exit; the raw wait status, or empty after the timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds _timeout = 20s);
    // Exit code of a process that exited normally, -1 otherwise; waits.
    int exit_code(std::chrono::milliseconds _timeout = 20s);

    // Reads standard output until it holds at least _bytes bytes in all, or
    // until the timeout; returns everything read so far.
    const std::string& read_stdout(std::size_t _bytes, std::chrono::milliseconds _timeout = 10s);
    // Reads until standard output contains the text; true when it does.
    bool wait_stdout_contains(const std::string& _text, std::chrono::milliseconds _timeout = 10s);
    bool wait_stderr_contains(const std::string& _text, std::chrono::milliseconds _timeout = 10s);
    // Everything read so far; call after wait_exit for the whole output.
    const std::string& stdout_text();
    const std::string& stderr_text();

private:
    bool pump(std::chrono::milliseconds _timeout, const std::function<bool()>& _done);

    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_out;
    std::string m_err;
    std::optional<int> m_status;
};

// Calls _on_timeout once, on a thread of its own, if it is not destroyed
// within _timeout: the bound of a test that blocks (for instance in an event
// loop's run(), with _on_timeout stopping the loop). Destruction cancels and
// joins.
class watchdog {
public:
    watchdog(std::chrono::milliseconds _timeout, std::function<void()> _on_timeout);
    ~watchdog();
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

    // True once _on_timeout has been called.
    bool fired() const;

private:
    struct state;
    std::unique_ptr<state> m_state;
};

// The bound of every test that runs an event loop: generous, since the suite
// also runs under sanitizers on a loaded machine.
constexpr std::chrono::milliseconds loop_bound = 60s;

// Runs _run (the loop's run()) on this thread and fails the test when the
// bound had to stop the loop instead of run() returning by itself.
void run_bounded(libs::core::events_loop& _loop, const std::function<void()>& _run = {},
                 std::chrono::milliseconds _bound = loop_bound);

}  // namespace orq::test
