#pragma once

// Helpers shared by the tests: bounded waiting, free loopback ports, child
// processes with pipes and signals.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace orq::test {

using namespace std::chrono_literals;

// Polls the predicate (every millisecond) until it holds or the timeout passes;
// returns its last value. For conditions that no event announces.
bool wait_until(const std::function<bool()>& _predicate, std::chrono::milliseconds _timeout = 10s);

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

}  // namespace orq::test
