#pragma once

#include <core/zmq/socket.hpp>

#include <string>

namespace orq::libs::core::zmq {

// Creates the ZeroMQ sockets of one event loop.
class manager {
public:
    virtual ~manager() = default;

    virtual socket::ptr connect(socket::type _type, std::string _address) = 0;
    // For TCP the port may also be "*" or "!", optionally followed by a range
    // "[first-last]" (defaults 49152 and 65535): "*" takes the first port of the
    // range that binds, "!" starts at a pseudo-random port of the range and wraps.
    virtual socket::ptr bind(socket::type _type, std::string _address) = 0;
};

}  // namespace orq::libs::core::zmq
