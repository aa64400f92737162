#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/hiredis.h>

#include <boost/utility/string_view.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::redis {

// Subscriptions and MONITOR turn a connection into one that only receives
// messages: on a shared connection every later reply would go astray. Throws
// "Command: <name>, error: ..." for them (any case), before anything is sent.
void refuse_subscription(boost::string_view _name);

// One blocking hiredis connection, switched to the database when it is made.
// Each step of connecting (the TCP connect, the SELECT) gives up after 1.5 s,
// each command after the command time-out.
class sync_context {
public:
    // Connects (connect()).
    sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip, int _port,
                 int _db);

    // Makes the connection again (after drop() or a failure): throws
    // "Connection error: ..." when no connection is made, and
    // "Command: SELECT, error: ..." when the server refuses the database or
    // does not answer.
    void connect();
    // Closes the connection; commands fail at once with the reason until the
    // next connect().
    void drop(const std::string& _reason);
    // Applies to the current connection and those made later.
    void set_command_timeout(std::chrono::milliseconds _timeout);
    // Called with the reason when a command finds the connection gone or
    // times out (the connection is closed by then), before the command
    // throws.
    void set_lost_callback(std::function<void(const std::string&)> _callback);

    // Blocks until the reply has arrived. An error reply throws
    // "Command: <name>, error: <server text>"; no reply at all (the
    // connection failed or timed out, or is down) throws the same with the
    // reason.
    reply run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len);

private:
    struct context_deleter {
        void operator()(redisContext* _context) const { redisFree(_context); }
    };
    using context_ptr = std::unique_ptr<redisContext, context_deleter>;

    // One exchange on _context; null with the reason in _reason when no
    // reply came.
    redisReply* exchange(redisContext* _context, std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len,
                         std::chrono::milliseconds _timeout, std::string& _reason);

    // Kept with the context's owner; a blocking context neither posts nor
    // logs: its failures are thrown.
    [[maybe_unused]] events_loop& m_events_loop;
    [[maybe_unused]] const component_logger& m_logger;
    context_ptr m_context_ptr;
    std::string m_ip;
    int m_port;
    int m_db;
    std::chrono::milliseconds m_command_timeout{10000};
    std::string m_reason = "not connected";
    std::function<void(const std::string&)> m_lost_callback;
};

}  // namespace orq::libs::core::redis
