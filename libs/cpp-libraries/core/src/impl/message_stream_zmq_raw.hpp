#pragma once

#include <core/logger.hpp>
#include <core/message_stream.hpp>

#include "topic_dispatch.hpp"
#include "zmq/asio_socket.hpp"
#include "zmq/connection_monitor.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>

namespace orq::libs::core {

// Messages of a ZeroMQ publisher, read by a subscriber socket connected to one
// address. Each frame is a message; a topic is a prefix of the frame's bytes.
// A frame goes, whole, to the callbacks of the shortest subscribed topic that
// prefixes it.
class message_stream_zmq_raw : public message_stream {
public:
    // Throws boost::system::system_error (ZeroMQ category) when the subscriber
    // socket cannot be created or connected.
    message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                           const std::string& _address);
    ~message_stream_zmq_raw() override;
    message_stream_zmq_raw(const message_stream_zmq_raw&) = delete;
    message_stream_zmq_raw& operator=(const message_stream_zmq_raw&) = delete;

    subscription::ptr subscribe(boost::string_view _channel, callback _callback) override;

private:
    void setup_receive();

    // The dispatch works on the map alone: a callback may destroy the stream
    // while the map is kept alive by the receive that dispatches (it holds the
    // map until the stream's destruction cancels it).
    std::shared_ptr<detail::topic_subscribers_map> m_subscribers;
    zmq::detail::asio_socket m_socket;
    // Logs the connection to the publisher made and lost.
    std::unique_ptr<zmq::detail::connection_monitor> m_monitor;
    const component_logger& m_logger;
};

}  // namespace orq::libs::core
