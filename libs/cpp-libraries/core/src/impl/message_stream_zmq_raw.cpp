#include "message_stream_zmq_raw.hpp"

#include <core/exception.hpp>

#include "receive_loop.hpp"

#include <zmq.h>

#include <algorithm>
#include <utility>

namespace orq::libs::core {

namespace {

class subscription_impl : public message_stream::subscription {
public:
    explicit subscription_impl(std::shared_ptr<message_stream_zmq_raw::subscriber> _subscriber)
        : m_subscriber(std::move(_subscriber)) {}
    ~subscription_impl() override {
        m_subscriber->m_subscribed = false;
        if (!m_subscriber->m_running) {
            m_subscriber->m_callback = nullptr;
        }
    }

private:
    std::shared_ptr<message_stream_zmq_raw::subscriber> m_subscriber;
};

}  // namespace

message_stream_zmq_raw::message_stream_zmq_raw(boost::asio::io_context& _io_context,
                                               const component_logger& _logger, const std::string& _address)
    : m_callbacks(std::make_shared<callbacks_map>()),
      m_socket(_io_context, ZMQ_SUB),
      m_monitor(std::make_unique<zmq::detail::connection_monitor>(m_socket, _logger, _address)),
      m_logger(_logger) {
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
    m_callbacks.reset();
}

message_stream::subscription::ptr message_stream_zmq_raw::subscribe(boost::string_view _channel,
                                                                    callback _callback) {
    if (!_callback) {
        throw exception("message_stream_zmq_raw::subscribe: empty callback", ORQ_SOURCE_LOCATION);
    }
    std::string topic(_channel);
    auto entry = m_callbacks->find(topic);
    if (entry == m_callbacks->end()) {
        // Subscribed with ZeroMQ first: a topic in the map is one that ZeroMQ
        // delivers, so a failure here leaves nothing half done.
        m_socket.subscribe(_channel);
        entry = m_callbacks->emplace(std::move(topic), callbacks_vector()).first;
    }
    auto shared = std::make_shared<subscriber>();
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
    m_socket.async_receive_each([callbacks = m_callbacks, logger = &m_logger](const boost::system::error_code& _error,
                                                                              zmq::message& _frame) {
        if (detail::receive_loop_ends(_error, *logger, ORQ_SOURCE_LOCATION)) {
            return;
        }
        process_message(*callbacks, _frame.view());
    });
}

void message_stream_zmq_raw::process_message(callbacks_map& _callbacks, boost::string_view _message) {
    const boost::optional<callbacks_vector&> found = find_callbacks(_callbacks, _message);
    if (!found) {
        return;
    }
    if (call_callbacks(*found, _message)) {
        remove_expired_callbacks(*found);
    }
}

boost::optional<message_stream_zmq_raw::callbacks_vector&> message_stream_zmq_raw::find_callbacks(
    callbacks_map& _callbacks, boost::string_view _message) {
    for (auto& [topic, callbacks] : _callbacks) {
        if (_message.starts_with(boost::string_view(topic))) {
            return callbacks;
        }
    }
    return boost::none;
}

bool message_stream_zmq_raw::call_callbacks(const callbacks_vector& _callbacks, boost::string_view _message) {
    // By index, up to the entries present now: a callback may subscribe more
    // to this topic, which appends to the vector and may move it in memory.
    // The entries themselves stay put and alive: only the pruning after the
    // dispatch removes them, and a stream dispatches one frame at a time.
    const std::size_t count = _callbacks.size();
    bool expired = false;
    for (std::size_t i = 0; i < count; ++i) {
        subscriber& current = *_callbacks[i];
        if (!current.m_subscribed) {
            expired = true;
            continue;
        }
        // Kept while it runs, even if the callback ends its own subscription.
        current.m_running = true;
        try {
            current.m_callback(_message);
        } catch (...) {
            current.finish_call();
            throw;
        }
        current.finish_call();
    }
    return expired;
}

void message_stream_zmq_raw::remove_expired_callbacks(callbacks_vector& _callbacks) {
    _callbacks.erase(std::remove_if(_callbacks.begin(), _callbacks.end(),
                                    [](const std::shared_ptr<subscriber>& _entry) { return !_entry->m_subscribed; }),
                     _callbacks.end());
}

}  // namespace orq::libs::core
