#pragma once

// A syslog daemon stand-in for tests: the real datagram protocol on a socket
// at /dev/log, inside a private mount namespace so that nothing outside the
// test process (and its children) is touched and tests can run in parallel.

#include <syslog.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

namespace orq::test {

struct syslog_record {
    int priority = -1;     // facility | level, as <syslog.h> combines them (LOG_USER | LOG_ERR)
    std::string identity;  // the openlog identity
    std::string message;   // text after "identity: "
    std::string raw;

    int level() const { return LOG_PRI(priority); }
    // An error line: LOG_ERR or more urgent.
    bool is_error() const { return priority >= 0 && level() <= LOG_ERR; }
};

// Parses one datagram as glibc sends it: "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE".
std::optional<syslog_record> parse_syslog_datagram(const std::string& _datagram);

class syslog_listener {
public:
    // Enters the private namespace on first use (call it before the test starts
    // threads) and binds the socket at /dev/log. A thread reads continuously,
    // as a daemon would, so that writers never block on a full socket.
    syslog_listener();
    ~syslog_listener();
    syslog_listener(const syslog_listener&) = delete;
    syslog_listener& operator=(const syslog_listener&) = delete;

    // Waits for a record whose message contains the text; records read while
    // waiting are kept and can be listed with records().
    std::optional<syslog_record> wait_for(const std::string& _text,
                                          std::chrono::milliseconds _timeout = std::chrono::seconds(10));
    // A copy of everything received so far.
    std::vector<syslog_record> records();
    // Forgets what was received so far.
    void clear();

private:
    void read_loop();

    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<syslog_record> m_records;
    std::thread m_reader;
};

}  // namespace orq::test
