#pragma once

// Plain POSIX peers of the UDP and TCP tests and benchmarks, so that a fault
// in the library's sockets cannot hide itself on both ends.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace orq::test::socket_peers {

inline void check(bool _ok, const std::string& _what) {
    if (!_ok) {
        throw std::runtime_error(_what + ": " + std::strerror(errno));
    }
}

// A socket address from a literal and a port.
struct address {
    address(const std::string& _literal, int _port) {
        std::memset(&storage, 0, sizeof storage);
        if (_literal.find(':') != std::string::npos) {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(static_cast<uint16_t>(_port));
            check(::inet_pton(AF_INET6, _literal.c_str(), &v6.sin6_addr) == 1, "inet_pton " + _literal);
            length = sizeof v6;
        } else {
            auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
            v4.sin_family = AF_INET;
            v4.sin_port = htons(static_cast<uint16_t>(_port));
            check(::inet_pton(AF_INET, _literal.c_str(), &v4.sin_addr) == 1, "inet_pton " + _literal);
            length = sizeof v4;
        }
    }
    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }

    sockaddr_storage storage;
    socklen_t length;
};

// The port a socket is bound to.
inline int local_port(int _fd) {
    sockaddr_storage name{};
    socklen_t length = sizeof name;
    check(::getsockname(_fd, reinterpret_cast<sockaddr*>(&name), &length) == 0, "getsockname");
    return name.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(name).sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in&>(name).sin_port);
}

// An owned file descriptor.
class plain_fd {
public:
    plain_fd() = default;
    explicit plain_fd(int _fd) : m_fd(_fd) {}
    ~plain_fd() { reset(); }
    plain_fd(plain_fd&& _other) noexcept : m_fd(_other.m_fd) { _other.m_fd = -1; }
    plain_fd& operator=(plain_fd&& _other) noexcept {
        reset();
        m_fd = _other.m_fd;
        _other.m_fd = -1;
        return *this;
    }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd = -1;
};

// A UDP socket bound to the literal and port (0: any).
class plain_udp {
public:
    explicit plain_udp(const std::string& _literal = "127.0.0.1", int _port = 0) {
        const address bound(_literal, _port);
        m_fd = plain_fd(::socket(bound.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
        check(m_fd.get() >= 0, "socket");
        check(::bind(m_fd.get(), bound.get(), bound.length) == 0, "bind " + _literal);
    }
    int fd() const { return m_fd.get(); }
    int port() const { return local_port(fd()); }
    void send_to(const std::string& _literal, int _port, const std::string& _bytes) const {
        const address to(_literal, _port);
        check(
            ::sendto(fd(), _bytes.data(), _bytes.size(), 0, to.get(), to.length) == static_cast<ssize_t>(_bytes.size()),
            "sendto");
    }
    // The next datagram and the port it came from, or none after the timeout.
    std::optional<std::pair<std::string, int>> receive(int _timeout_ms = 10000) const {
        pollfd ready{fd(), POLLIN, 0};
        if (::poll(&ready, 1, _timeout_ms) != 1) {
            return std::nullopt;
        }
        std::string buffer(65536, '\0');
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const auto n = ::recvfrom(fd(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        check(n >= 0, "recvfrom");
        buffer.resize(static_cast<std::size_t>(n));
        const int port = from.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(from).sin6_port)
                                                    : ntohs(reinterpret_cast<sockaddr_in&>(from).sin_port);
        return std::make_pair(buffer, port);
    }

private:
    plain_fd m_fd;
};

// A UDP port on 127.0.0.1 that was free a moment ago (bound to port 0, read
// back, closed).
inline int free_udp_port() {
    return plain_udp().port();
}

// The descriptor of this process's UDP socket bound to the port, or -1.
inline int udp_fd_bound_to(int _port) {
    DIR* fds = ::opendir("/proc/self/fd");
    check(fds != nullptr, "opendir /proc/self/fd");
    int found = -1;
    while (dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        int type = 0;
        socklen_t length = sizeof type;
        if (entry->d_name[0] == '.' || fd == ::dirfd(fds) ||
            ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) {
            continue;
        }
        sockaddr_storage name{};
        socklen_t name_length = sizeof name;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&name), &name_length) == 0 &&
            (name.ss_family == AF_INET || name.ss_family == AF_INET6) && local_port(fd) == _port) {
            found = fd;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

// A listening TCP socket on 127.0.0.1, port chosen by the system.
class plain_listener {
public:
    plain_listener() {
        m_fd = plain_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        check(m_fd.get() >= 0, "socket");
        const address bound("127.0.0.1", 0);
        check(::bind(m_fd.get(), bound.get(), bound.length) == 0, "bind");
        check(::listen(m_fd.get(), 16) == 0, "listen");
    }
    int port() const { return local_port(m_fd.get()); }
    // The next connection (blocking).
    plain_fd accept() const {
        plain_fd connection(::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        check(connection.get() >= 0, "accept");
        return connection;
    }

private:
    plain_fd m_fd;
};

// A blocking TCP connection to a loopback port.
inline plain_fd plain_connect(int _port, const std::string& _literal = "127.0.0.1") {
    const address to(_literal, _port);
    plain_fd connection(::socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    check(connection.get() >= 0, "socket");
    check(::connect(connection.get(), to.get(), to.length) == 0, "connect");
    return connection;
}

inline void send_all(int _fd, const std::string& _bytes) {
    std::size_t done = 0;
    while (done < _bytes.size()) {
        const auto n = ::send(_fd, _bytes.data() + done, _bytes.size() - done, MSG_NOSIGNAL);
        check(n > 0, "send");
        done += static_cast<std::size_t>(n);
    }
}

// Closes with a reset instead of an orderly close.
inline void reset_connection(plain_fd& _connection) {
    const linger abort{1, 0};
    check(::setsockopt(_connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0, "SO_LINGER");
    _connection.reset();
}

// Bytes in a pattern that a shifted or repeated chunk would break.
inline std::string pattern(std::size_t _size) {
    std::string bytes(_size, '\0');
    for (std::size_t i = 0; i < _size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    return bytes;
}

}  // namespace orq::test::socket_peers
