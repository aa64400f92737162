#pragma once

#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace orq::libs::core {

// A source of messages sorted by topic. A subscriber gets every message of its
// topic, on the thread that runs the stream's event loop, for as long as it
// keeps the subscription object.
class message_stream {
public:
    // The message is valid only during the call.
    using callback = std::function<void(boost::string_view)>;
    using ptr = std::unique_ptr<message_stream>;

    // Ends its subscription when destroyed; may outlive the stream.
    class subscription {
    public:
        using ptr = std::unique_ptr<subscription>;
        virtual ~subscription() = default;
    };

    virtual ~message_stream() = default;

    virtual subscription::ptr subscribe(boost::string_view _channel, callback _callback) = 0;
};

}  // namespace orq::libs::core
