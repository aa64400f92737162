#include "redis_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace orq::test {

redis_peer::redis_peer(int _port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(_port));
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        throw std::runtime_error("redis_peer: cannot connect: " + std::to_string(error));
    }
}

redis_peer::~redis_peer() {
    ::close(m_fd);
}

void redis_peer::send(const std::vector<std::string>& _words) {
    std::string request = "*" + std::to_string(_words.size()) + "\r\n";
    for (const auto& word : _words) {
        request += "$" + std::to_string(word.size()) + "\r\n" + word + "\r\n";
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const auto n = ::send(m_fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("redis_peer: send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

char redis_peer::next_byte(std::chrono::steady_clock::time_point _deadline) {
    while (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(_deadline - std::chrono::steady_clock::now());
        pollfd fd{m_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("redis_peer: no reply in time");
        }
        char chunk[65536];
        const auto n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            throw std::runtime_error("redis_peer: connection closed");
        }
        m_buffer.assign(chunk, static_cast<std::size_t>(n));
    }
    return m_buffer[m_offset++];
}

std::string redis_peer::line(std::chrono::steady_clock::time_point _deadline) {
    std::string text;
    for (char c = next_byte(_deadline); c != '\n'; c = next_byte(_deadline)) {
        text += c;
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return text;
}

std::string redis_peer::reply(std::chrono::steady_clock::time_point _deadline) {
    const std::string header = line(_deadline);
    if (header.empty()) {
        throw std::runtime_error("redis_peer: empty reply line");
    }
    const std::string rest = header.substr(1);
    switch (header[0]) {
    case '+':
    case ':':
        return rest;
    case '-':
        return "(error) " + rest;
    case '$': {
        const long length = std::stol(rest);
        if (length < 0) {
            return "(nil)";
        }
        std::string text;
        for (long i = 0; i < length + 2; ++i) {
            text += next_byte(_deadline);
        }
        return text.substr(0, static_cast<std::size_t>(length));
    }
    case '*': {
        const long count = std::stol(rest);
        if (count < 0) {
            return "(nil)";
        }
        std::string text;
        for (long i = 0; i < count; ++i) {
            text += reply(_deadline) + "\n";
        }
        return text;
    }
    default:
        throw std::runtime_error("redis_peer: unexpected reply " + header);
    }
}

std::string redis_peer::read_reply(std::chrono::milliseconds _timeout) {
    return reply(std::chrono::steady_clock::now() + _timeout);
}

std::string redis_peer::local_address() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

redis_server::redis_server() {
    // The port was free a moment ago; another process may take it before the
    // server binds it, in which case the server exits and we try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = free_tcp_port();
        if (start()) {
            return;
        }
    }
    throw std::runtime_error("redis-server did not start");
}

bool redis_server::start() {
    m_process = std::make_unique<child_process>(std::vector<std::string>{
        "/usr/bin/redis-server", "--port", std::to_string(m_port), "--bind", "127.0.0.1", "--save", "", "--appendonly",
        "no", "--dir", m_dir.path(), "--daemonize", "no", "--loglevel", "warning"});
    const bool up = wait_until(
        [&] {
            try {
                return redis_peer(m_port).call({"PING"}) == "PONG";
            } catch (const std::exception&) {
                return false;
            }
        },
        10s);
    if (!up) {
        m_process.reset();
    }
    return up;
}

redis_server::~redis_server() {
    kill();
}

void redis_server::kill() {
    if (m_process) {
        m_process->send_signal(SIGKILL);
        m_process->wait_exit();
        m_process.reset();
    }
}

void redis_server::restart() {
    kill();
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start()) {
            return;
        }
    }
    throw std::runtime_error("redis-server did not start again on port " + std::to_string(m_port));
}

void redis_server::pause() {
    m_process->send_signal(SIGSTOP);
}

void redis_server::resume() {
    m_process->send_signal(SIGCONT);
}

redis_monitor::redis_monitor(int _port) : m_port(_port), m_peer(_port) {
    if (m_peer.call({"MONITOR"}) != "OK") {
        throw std::runtime_error("redis_monitor: MONITOR refused");
    }
}

std::vector<redis_monitor::entry> redis_monitor::collect() {
    static const std::string marker = "redis-monitor-marker";
    redis_peer(m_port).call({"ECHO", marker});
    std::vector<entry> entries;
    for (;;) {
        // 1700000000.123456 [0 127.0.0.1:40000] "SET" "k" "v"
        const std::string text = m_peer.read_reply();
        const auto open = text.find('[');
        const auto space = text.find(' ', open);
        const auto close = text.find("] ", space);
        if (open == std::string::npos || space == std::string::npos || close == std::string::npos) {
            throw std::runtime_error("redis_monitor: unexpected line " + text);
        }
        entry current{std::stoi(text.substr(open + 1, space - open - 1)), text.substr(space + 1, close - space - 1),
                      text.substr(close + 2)};
        if (current.words == "\"ECHO\" \"" + marker + "\"") {
            return entries;
        }
        entries.push_back(std::move(current));
    }
}

}  // namespace orq::test
