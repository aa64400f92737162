#pragma once

// Plain ZeroMQ peers of the tests and benchmarks: cppzmq sockets on a context
// of their own (so that a fault in the library's binding cannot hide itself on
// both ends), a capture of the lines that a logger writes to its debug
// channel, and probes of libzmq's threads and ports.

#include <core/logger.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace orq::test::zmq_peers {

using namespace std::chrono_literals;

// A plain cppzmq socket with linger 0 on a context of its own.
class plain_socket {
public:
    explicit plain_socket(::zmq::socket_type _type) : m_socket(m_context, _type) {
        m_socket.set(::zmq::sockopt::linger, 0);
    }
    ~plain_socket() { m_socket.close(); }

    // Binds to an OS-chosen loopback port; returns the endpoint.
    std::string bind_loopback() {
        bind("tcp://127.0.0.1:*");
        return m_socket.get(::zmq::sockopt::last_endpoint);
    }
    void bind(const std::string& _endpoint) { m_socket.bind(_endpoint); }
    void connect(const std::string& _endpoint) { m_socket.connect(_endpoint); }

    // False when the frame was not queued (with dontwait: the queue is full).
    bool send(const std::string& _bytes, ::zmq::send_flags _flags = ::zmq::send_flags::none) {
        return m_socket.send(::zmq::buffer(_bytes), _flags).has_value();
    }
    // The next frame, or none after the timeout.
    std::optional<std::string> receive(std::chrono::milliseconds _timeout = 10s) {
        m_socket.set(::zmq::sockopt::rcvtimeo, static_cast<int>(_timeout.count()));
        ::zmq::message_t frame;
        if (!m_socket.recv(frame)) {
            return std::nullopt;
        }
        return frame.to_string();
    }
    ::zmq::socket_t& get() { return m_socket; }

private:
    ::zmq::context_t m_context{1};
    ::zmq::socket_t m_socket;
};

// The io_context drivers belong to every test; named here too for the tests
// that use this namespace.
using orq::test::run_ready;
using orq::test::run_until;
using orq::test::send_until_seen;

// Number of libzmq background threads of the process (named "ZMQbg/...").
inline int zmq_background_threads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("ZMQbg", 0) == 0) {
            ++count;
        }
    }
    return count;
}

// The calling thread's kernel id.
inline pid_t current_thread_id() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// True while the thread of the process is blocked in poll() or ppoll().
inline bool blocked_in_poll(pid_t _thread_id) {
    std::ifstream syscall_file("/proc/self/task/" + std::to_string(_thread_id) + "/syscall");
    long number = -1;
    syscall_file >> number;
    return number == SYS_poll || number == SYS_ppoll;
}

// Consecutive loopback ports held by listening sockets, so that nothing else
// can bind them. Chosen below the kernel's ephemeral range and below the
// default dynamic range, where nothing else of the tests binds.
class held_ports {
public:
    explicit held_ports(int _count) {
        std::mt19937 random{std::random_device{}()};
        for (int attempt = 0; attempt < 100 && m_fds.empty(); ++attempt) {
            const int base = 20000 + int(random() % 10000);
            std::vector<int> fds;
            for (int i = 0; i < _count; ++i) {
                const int fd = listen_on(base + i);
                if (fd < 0) {
                    break;
                }
                fds.push_back(fd);
            }
            if (int(fds.size()) == _count) {
                m_base = base;
                m_fds = fds;
            } else {
                for (const int fd : fds) {
                    ::close(fd);
                }
            }
        }
        if (m_fds.empty()) {
            throw std::runtime_error("no window of free ports");
        }
    }
    ~held_ports() {
        for (const int fd : m_fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    held_ports(const held_ports&) = delete;
    held_ports& operator=(const held_ports&) = delete;

    int port(int _index) const { return m_base + _index; }
    // Frees one port of the window.
    void release(int _index) {
        ::close(m_fds[_index]);
        m_fds[_index] = -1;
    }

private:
    static int listen_on(int _port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(_port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    int m_base = 0;
    std::vector<int> m_fds;
};

// The port of a "tcp://host:port" endpoint.
inline int endpoint_port(const std::string& _endpoint) {
    return std::stoi(_endpoint.substr(_endpoint.rfind(':') + 1));
}

// A publisher on a loopback port that queues every frame (no high-water
// mark): nothing sent once a subscription has joined is dropped.
class plain_publisher : public plain_socket {
public:
    plain_publisher() : plain_socket(::zmq::socket_type::pub) {
        get().set(::zmq::sockopt::sndhwm, 0);
        m_endpoint = bind_loopback();
    }
    const std::string& endpoint() const { return m_endpoint; }
    // The bare port, as the agent's -a option takes it.
    std::string port() const { return std::to_string(endpoint_port(m_endpoint)); }

private:
    std::string m_endpoint;
};

// The lines a logger sends to its debug channel, read by a plain PULL peer.
class log_capture {
public:
    explicit log_capture(libs::core::logger& _logger) : m_logger(_logger) {
        m_logger.connect(m_peer.bind_loopback());
        // The debug socket connects in the background and drops lines until
        // then: log until one arrives, then leave the rest behind.
        EXPECT_TRUE(send_until_seen([&] { m_logger.info("sync"); }, [&] { return m_peer.receive(0ms).has_value(); }));
        lines();
    }

    // The next line, or none after the timeout.
    std::optional<std::string> next(std::chrono::milliseconds _timeout = 10s) { return m_peer.receive(_timeout); }

    // The first line that contains the text; the lines before it are skipped.
    std::optional<std::string> next_containing(const std::string& _text) {
        while (auto line = next()) {
            if (line->find(_text) != std::string::npos) {
                return line;
            }
        }
        return std::nullopt;
    }

    // Every line logged since the last call: logs a marker and reads up to it
    // (lines arrive in order over the one connection).
    std::vector<std::string> lines() {
        const std::string marker = "capture-marker-" + std::to_string(++m_markers);
        m_logger.info(marker);
        std::vector<std::string> result;
        while (auto line = next()) {
            if (line->find(marker) != std::string::npos) {
                return result;
            }
            result.push_back(*line);
        }
        ADD_FAILURE() << "the marker line did not arrive";
        return result;
    }

private:
    libs::core::logger& m_logger;
    plain_socket m_peer{::zmq::socket_type::pull};
    int m_markers = 0;
};

}  // namespace orq::test::zmq_peers
