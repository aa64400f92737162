#include "test_support.hpp"

#include <core/events_loop.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace orq::test {

bool wait_until(const std::function<bool()>& _predicate, std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (!_predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return _predicate();
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool send_until_seen(const std::function<void()>& _send, const std::function<bool()>& _seen,
                     std::chrono::milliseconds _timeout) {
    return wait_until(
        [&] {
            _send();
            return wait_until(_seen, 20ms);
        },
        _timeout);
}

bool run_until(boost::asio::io_context& _io_context, const std::function<bool()>& _predicate,
               std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (!_predicate()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return _predicate();
        }
        if (_io_context.stopped()) {
            _io_context.restart();
        }
        _io_context.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, 10ms));
    }
    return true;
}

void run_ready(boost::asio::io_context& _io_context) {
    _io_context.restart();
    _io_context.poll();
}

bool send_until_seen(boost::asio::io_context& _io_context, const std::function<void()>& _send,
                     const std::function<bool()>& _seen, std::chrono::milliseconds _timeout) {
    return send_until_seen(
        _send,
        [&] {
            run_ready(_io_context);
            return _seen();
        },
        _timeout);
}

double cpu_seconds(clockid_t _clock) {
    timespec now{};
    if (::clock_gettime(_clock, &now) != 0) {
        return -1;
    }
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int free_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool catches_signals(pid_t _pid, std::initializer_list<int> _signals) {
    std::ifstream status("/proc/" + std::to_string(_pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            for (const int signal : _signals) {
                if ((mask & (1ULL << (signal - 1))) == 0) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/orq-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string read_file(const std::string& _path) {
    std::ifstream file(_path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void write_file(const std::string& _path, const std::string& _content) {
    std::ofstream file(_path, std::ios::binary | std::ios::trunc);
    file << _content;
}

child_process::child_process(std::vector<std::string> _argv, bool _capture_output) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (_capture_output && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> argv;
    for (auto& argument : _argv) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        // The test runner may ignore or block signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        if (_capture_output) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (_capture_output) {
        ::close(out[1]);
        ::close(err[1]);
        m_stdout = out[0];
        m_stderr = err[0];
    }
}

child_process::~child_process() {
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_stdout >= 0) {
        ::close(m_stdout);
    }
    if (m_stderr >= 0) {
        ::close(m_stderr);
    }
}

void child_process::send_signal(int _signal) const {
    if (m_status) {
        return;  // reaped: the id may belong to another process by now
    }
    ::kill(m_pid, _signal);
}

bool child_process::pump(std::chrono::milliseconds _timeout, const std::function<bool()>& _done) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    // At least one pass reads whatever is already there, even with no time left.
    for (bool first = true; !_done(); first = false) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (!first) {
                return _done();
            }
            left = std::chrono::milliseconds(0);
        }
        pollfd fds[2];
        int count = 0;
        if (m_stdout >= 0) {
            fds[count++] = {m_stdout, POLLIN, 0};
        }
        if (m_stderr >= 0) {
            fds[count++] = {m_stderr, POLLIN, 0};
        }
        if (count == 0) {
            return _done();
        }
        const int ready = ::poll(fds, count, static_cast<int>(std::min<long>(left.count(), 100)));
        if (ready <= 0) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            std::string& target = fds[i].fd == m_stdout ? m_out : m_err;
            if (n > 0) {
                target.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                int& fd = fds[i].fd == m_stdout ? m_stdout : m_stderr;
                ::close(fd);
                fd = -1;
            }
        }
    }
    return true;
}

std::optional<int> child_process::wait_exit(std::chrono::milliseconds _timeout) {
    if (m_status) {
        return m_status;
    }
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = status;
            // Collect what is left in the pipes (closed once the child is gone,
            // unless a grandchild holds them).
            pump(1s, [] { return false; });
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        // Keep the pipes drained so the child never blocks on a full pipe.
        pump(5ms, [] { return false; });
    }
}

int child_process::exit_code(std::chrono::milliseconds _timeout) {
    const auto status = wait_exit(_timeout);
    if (!status || !WIFEXITED(*status)) {
        return -1;
    }
    return WEXITSTATUS(*status);
}

const std::string& child_process::read_stdout(std::size_t _bytes, std::chrono::milliseconds _timeout) {
    pump(_timeout, [&] { return m_out.size() >= _bytes; });
    return m_out;
}

bool child_process::wait_stdout_contains(const std::string& _text, std::chrono::milliseconds _timeout) {
    return pump(_timeout, [&] { return m_out.find(_text) != std::string::npos; });
}

bool child_process::wait_stderr_contains(const std::string& _text, std::chrono::milliseconds _timeout) {
    return pump(_timeout, [&] { return m_err.find(_text) != std::string::npos; });
}

const std::string& child_process::stdout_text() {
    pump(0ms, [] { return false; });
    return m_out;
}

const std::string& child_process::stderr_text() {
    pump(0ms, [] { return false; });
    return m_err;
}

struct watchdog::state {
    std::mutex mutex;
    std::condition_variable cancelled_cv;
    bool cancelled = false;
    std::atomic<bool> fired{false};
    std::thread thread;
};

watchdog::watchdog(std::chrono::milliseconds _timeout, std::function<void()> _on_timeout)
    : m_state(std::make_unique<state>()) {
    m_state->thread = std::thread([state = m_state.get(), _timeout, on_timeout = std::move(_on_timeout)] {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (state->cancelled_cv.wait_for(lock, _timeout, [state] { return state->cancelled; })) {
            return;
        }
        state->fired = true;
        lock.unlock();
        on_timeout();
    });
}

watchdog::~watchdog() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->cancelled = true;
    }
    m_state->cancelled_cv.notify_all();
    m_state->thread.join();
}

bool watchdog::fired() const {
    return m_state->fired;
}

void run_bounded(libs::core::events_loop& _loop, const std::function<void()>& _run, std::chrono::milliseconds _bound) {
    watchdog dog(_bound, [&] { _loop.stop(); });
    if (_run) {
        _run();
    } else {
        _loop.run();
    }
    EXPECT_FALSE(dog.fired()) << "run() had to be stopped by the watchdog";
}

}  // namespace orq::test
