#pragma once

#include "message_stream_zmq_raw.hpp"

namespace orq::libs::core {

// Messages of a publisher whose frames are a topic followed by a JSON body.
// A topic that starts with a letter is subscribed as "#" + topic; callbacks
// get the body only: the frame from its first "{" to its end. Frames without
// a "{" are ignored.
class message_stream_zmq : public message_stream {
public:
    message_stream_zmq(boost::asio::io_context& _io_context, const component_logger& _logger,
                       const std::string& _address);

    subscription::ptr subscribe(boost::string_view _channel, callback _callback) override;

    // The topic under which _channel is subscribed.
    static std::string topic_of(boost::string_view _channel);

private:
    message_stream_zmq_raw m_stream_zmq_raw;
};

}  // namespace orq::libs::core
