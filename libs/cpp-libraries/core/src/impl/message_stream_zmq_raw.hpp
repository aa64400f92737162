#pragma once

#include <core/logger.hpp>
#include <core/message_stream.hpp>

#include "zmq/asio_socket.hpp"
#include "zmq/connection_monitor.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

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

    // A subscriber's callback, shared by its subscription and the topic's
    // list; used on the loop thread only. The subscription's end releases the
    // callback at once, or right after its call when it is running then; the
    // list drops the entry at the next frame of the topic.
    struct subscriber {
        callback m_callback;
        bool m_subscribed = true;
        bool m_running = false;

        // After a call: releases the callback if its subscription ended
        // meanwhile.
        void finish_call() {
            m_running = false;
            if (!m_subscribed) {
                m_callback = nullptr;
            }
        }
    };

private:
    using callbacks_vector = std::vector<std::shared_ptr<subscriber>>;
    // Ordered byte-wise, so a topic sorts before every longer topic it begins.
    using callbacks_map = std::map<std::string, callbacks_vector>;

    void setup_receive();

    // The dispatch works on the map alone: a callback may destroy the stream
    // while the map is kept alive by the receive that dispatches (it holds the
    // map until the stream's destruction cancels it).
    static void process_message(callbacks_map& _callbacks, boost::string_view _message);
    static boost::optional<callbacks_vector&> find_callbacks(callbacks_map& _callbacks,
                                                             boost::string_view _message);
    // True when it met subscribers whose subscriptions are gone.
    static bool call_callbacks(const callbacks_vector& _callbacks, boost::string_view _message);
    static void remove_expired_callbacks(callbacks_vector& _callbacks);

    std::shared_ptr<callbacks_map> m_callbacks;
    zmq::detail::asio_socket m_socket;
    // Logs the connection to the publisher made and lost.
    std::unique_ptr<zmq::detail::connection_monitor> m_monitor;
    const component_logger& m_logger;
};

}  // namespace orq::libs::core
