#pragma once

#include "asio_socket.hpp"

#include <core/logger.hpp>

#include <memory>
#include <string>

namespace orq::libs::core::zmq::detail {

// Tells, at info level, when a socket's connection to its peer is made
// ("Connected to <peer>") and when it is lost ("Connection to <peer> lost"), so
// that a quiet socket can be told from an unreachable peer. The peer is named
// as the socket's user gave it (ZeroMQ reports a reconnection under the
// resolved address). ZeroMQ's socket
// monitor reports the events on an inproc PAIR socket, read on the watched
// socket's io_context.
//
// Create it before the watched socket connects (to see the first connection)
// and destroy it before the watched socket closes.
class connection_monitor {
public:
    connection_monitor(asio_socket& _watched, const component_logger& _logger, std::string _peer);
    ~connection_monitor();
    connection_monitor(const connection_monitor&) = delete;
    connection_monitor& operator=(const connection_monitor&) = delete;

private:
    // An event comes as two frames: its number (and value), then the endpoint.
    struct pending_event {
        int m_event = 0;
        bool m_endpoint_next = false;
    };

    asio_socket& m_watched;
    asio_socket m_events;
};

}  // namespace orq::libs::core::zmq::detail
