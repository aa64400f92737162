#include "message_stream_zmq_raw.hpp"

#include <core/exception.hpp>

#include "receive_loop.hpp"

#include <zmq.h>

#include <utility>

namespace orq::libs::core {

namespace {

class subscription_impl : public message_stream::subscription {
public:
    explicit subscription_impl(std::shared_ptr<detail::topic_subscriber> _subscriber)
        : m_subscriber(std::move(_subscriber)) {}
    ~subscription_impl() override { m_subscriber->unsubscribe(); }

private:
    std::shared_ptr<detail::topic_subscriber> m_subscriber;
};

}  // namespace

message_stream_zmq_raw::message_stream_zmq_raw(boost::asio::io_context& _io_context, const component_logger& _logger,
                                               const std::string& _address)
    : m_subscribers(std::make_shared<detail::topic_subscribers_map>()),
      m_socket(_io_context, ZMQ_SUB),
      m_monitor(std::make_unique<zmq::detail::connection_monitor>(m_socket, _logger, _address)),
      m_logger(_logger) {
    // The socket sends nothing but its subscriptions, all of them at every
    // connection to the publisher; with a send high-water mark, those beyond
    // it would be dropped without a word and their topics stay silent.
    m_socket.set_option(ZMQ_SNDHWM, 0);
    m_socket.connect(_address);
    setup_receive();
}

message_stream_zmq_raw::~message_stream_zmq_raw() {
    boost::system::error_code error;
    m_socket.cancel(error);
    if (error) {
        m_logger.log_error(error, ORQ_SOURCE_LOCATION);
    }
    m_monitor.reset();
    m_socket.close();
    m_subscribers.reset();
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _channel, callback _callback) {
    if (!_callback) {
        throw exception("message_stream_zmq_raw::subscribe: empty callback", ORQ_SOURCE_LOCATION);
    }
    std::string topic(_channel);
    auto entry = m_subscribers->find(topic);
    if (entry == m_subscribers->end()) {
        // Subscribed with ZeroMQ first: a topic in the map is one that ZeroMQ
        // delivers, so a failure here leaves nothing half done.
        m_socket.subscribe(_channel);
        entry = m_subscribers->emplace(std::move(topic), detail::topic_subscribers()).first;
    }
    auto shared = std::make_shared<detail::topic_subscriber>();
    shared->m_callback = std::move(_callback);
    entry->second.push_back(shared);
    return std::make_unique<subscription_impl>(std::move(shared));
}

void message_stream_zmq_raw::setup_receive() {
    // One receive for every frame: it is queued again after each dispatch,
    // also when a callback throws, and ends with the first error. The
    // destructor's cancellation is that error, even from inside a callback, so
    // no frame is dispatched once the stream is gone, and holding the map here
    // keeps it alive through a dispatch that destroys the stream.
    m_socket.async_receive_each([subscribers = m_subscribers, logger = &m_logger](
                                    const boost::system::error_code& _error, zmq::message& _frame) {
        if (detail::receive_loop_ends(_error, *logger, ORQ_SOURCE_LOCATION)) {
            return;
        }
        detail::dispatch_message(*subscribers, _frame.view());
    });
}

}  // namespace orq::libs::core
