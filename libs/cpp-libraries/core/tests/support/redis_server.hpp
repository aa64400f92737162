#pragma once

// A private redis-server for the tests, and plain RESP connections to it that
// do not go through the library.

#include "test_support.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace orq::test {

// A plain RESP connection over a POSIX socket to 127.0.0.1.
class redis_peer {
public:
    explicit redis_peer(int _port);
    ~redis_peer();
    redis_peer(const redis_peer&) = delete;
    redis_peer& operator=(const redis_peer&) = delete;

    void send(const std::vector<std::string>& _words);
    // One reply, rendered as text: strings and integers as they are, an error
    // as "(error) <text>", nil as "(nil)", an array as its elements each
    // followed by a newline. Throws when none arrives in time.
    std::string read_reply(std::chrono::milliseconds _timeout = 10s);
    std::string call(const std::vector<std::string>& _words) {
        send(_words);
        return read_reply();
    }
    // "127.0.0.1:<port>" as the server sees this connection.
    std::string local_address() const;

private:
    char next_byte(std::chrono::steady_clock::time_point _deadline);
    std::string line(std::chrono::steady_clock::time_point _deadline);
    std::string reply(std::chrono::steady_clock::time_point _deadline);

    int m_fd = -1;
    std::string m_buffer;
    std::size_t m_offset = 0;
};

// redis-server on a free loopback port, without persistence, in a temporary
// directory of its own; killed at the end.
class redis_server {
public:
    redis_server();
    ~redis_server();
    redis_server(const redis_server&) = delete;
    redis_server& operator=(const redis_server&) = delete;

    int port() const { return m_port; }
    // SIGKILL: the server vanishes with whatever it was doing.
    void kill();
    // A new server (empty) on the same port, after kill().
    void restart();
    // SIGSTOP and SIGCONT: a stopped server still has connections accepted
    // by the kernel, but answers nothing until it is resumed.
    void pause();
    void resume();

private:
    // Starts the server on m_port; true once it answers.
    bool start();

    temp_dir m_dir;
    int m_port = 0;
    std::unique_ptr<child_process> m_process;
};

// Everything the server runs, as MONITOR reports it, from construction on.
class redis_monitor {
public:
    struct entry {
        int db;
        std::string client;  // "127.0.0.1:<port>"
        std::string words;   // "\"SET\" \"k\" \"v\"" (bytes escaped by the server)
    };

    explicit redis_monitor(int _port);
    // The commands run since the last call, up to a marker sent now over
    // another connection (the marker itself left out).
    std::vector<entry> collect();

private:
    int m_port;
    redis_peer m_peer;
};

}  // namespace orq::test
