#pragma once

#include <core/zmq/flags.hpp>
#include <core/zmq/message.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace orq::libs::core::zmq {

// A ZeroMQ socket attached to an event loop. Frames are sent synchronously from
// the calling thread; received frames are delivered on the loop's thread to the
// receive callback, one frame per call.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using callback = std::function<void(message&)>;

    enum class type : std::int32_t {
        push = 0,
        pull = 1,
        pub = 2,
        req = 3,
        rep = 4,
    };

    virtual ~socket() = default;

    // The first call starts receiving; later calls only exchange the callback.
    virtual void set_receive_callback(callback _callback) = 0;
    // Blocks while ZeroMQ cannot queue the frame; throws boost::system::system_error.
    virtual void send(message _message) = 0;
    virtual void send(message _message, flags _flags) = 0;
    // False when the frame cannot be queued now; throws on other errors.
    virtual bool try_send(message _message) = 0;
    virtual bool try_send(message _message, flags _flags) = 0;
    // The next frame of the message being received; blocks until it is there.
    virtual message receive_more() = 0;
};

}  // namespace orq::libs::core::zmq
