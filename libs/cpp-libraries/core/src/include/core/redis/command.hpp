#pragma once

#include <core/async_operation_handle.hpp>
#include <core/redis/reply.hpp>

#include <memory>
#include <string>

namespace orq::libs::core::redis {

// One Redis command, prepared by a context. It can be run any number of
// times, synchronously or asynchronously, with arguments added in between.
// The context must outlive its commands.
class command {
public:
    using ptr = std::unique_ptr<command>;

    virtual ~command() = default;

    // Appends one argument (any bytes, zero bytes included).
    virtual command& add_argument(std::string _argument) = 0;
    // Blocks the calling thread until the reply has arrived, at most for the
    // context's command time-out. An error reply throws
    // "Command: <name>, error: <server text>"; no reply (the connection
    // failed, timed out, or is down) throws the same with the reason.
    // Subscriptions and MONITOR are refused the same way.
    virtual reply execute() = 0;
    // The reply is delivered on the context's loop: error replies as replies
    // of type ERROR, a command that the connection abandoned (or that timed
    // out) as a NIL reply. While the connection is down this throws
    // "Command: <name>, error"; subscriptions and MONITOR are refused. The
    // command must outlive any restart() of the handle.
    virtual async_operation_handle<reply>::ptr execute_async() = 0;
};

}  // namespace orq::libs::core::redis
