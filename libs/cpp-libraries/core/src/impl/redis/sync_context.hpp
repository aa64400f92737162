#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/hiredis.h>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <memory>
#include <vector>

namespace orq::libs::core::redis {

// One blocking hiredis connection, switched to the database at construction.
class sync_context {
public:
    // Connects (at most 1.5 s) and selects the database, also database 0.
    // Throws "Connection error: ..." when no connection is made, and
    // "Command: SELECT, error: ..." when the server refuses the database.
    sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip, int _port,
                 int _db);

    // Blocks until the reply has arrived. An error reply throws
    // "Command: <name>, error: <server text>"; no reply at all (the
    // connection failed) throws the same with the connection's error text.
    reply run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len);

private:
    struct context_deleter {
        void operator()(redisContext* _context) const { redisFree(_context); }
    };

    // Kept with the context's owner; a blocking context neither posts nor
    // logs: its failures are thrown.
    [[maybe_unused]] events_loop& m_events_loop;
    [[maybe_unused]] const component_logger& m_logger;
    std::unique_ptr<redisContext, context_deleter> m_context_ptr;
};

}  // namespace orq::libs::core::redis
