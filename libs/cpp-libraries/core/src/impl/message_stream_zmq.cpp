#include "message_stream_zmq.hpp"

#include <core/exception.hpp>

#include <utility>

namespace orq::libs::core {

message_stream_zmq::message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                                       const std::string& _address)
    : m_stream_zmq_raw(_io_context, _logger, _address) {}

std::string message_stream_zmq::topic_of(boost::string_view _channel) {
    // ASCII letters only, whatever the locale.
    if (!_channel.empty()) {
        const char first = _channel.front();
        if ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z')) {
            return "#" + std::string(_channel);
        }
    }
    return std::string(_channel);
}

message_stream::subscription::ptr message_stream_zmq::subscribe(boost::string_view _channel, callback _callback) {
    if (!_callback) {
        throw exception("message_stream_zmq::subscribe: empty callback", ORQ_SOURCE_LOCATION);
    }
    return m_stream_zmq_raw.subscribe(topic_of(_channel),
                                      [callback = std::move(_callback)](boost::string_view _message) {
                                          const std::size_t body = _message.find('{');
                                          if (body != boost::string_view::npos) {
                                              callback(_message.substr(body));
                                          }
                                      });
}

}  // namespace orq::libs::core
