#pragma once

#include <core/zmq/message.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace orq::libs::core::zmq::detail {

// A pending asynchronous receive: completed on the io_context with an error
// code and the frame (an empty frame on error). Once, unless it repeats: then
// it is queued again after each frame, until an error ends it.
class receive_operation {
public:
    explicit receive_operation(bool _repeating) : m_repeating(_repeating) {}
    virtual ~receive_operation() = default;
    virtual void complete(const boost::system::error_code& _error, message& _message) = 0;
    bool repeating() const { return m_repeating; }

private:
    bool m_repeating;
};

template <typename Handler>
class receive_operation_impl final : public receive_operation {
public:
    receive_operation_impl(Handler _handler, bool _repeating)
        : receive_operation(_repeating), m_handler(std::move(_handler)) {}
    void complete(const boost::system::error_code& _error, message& _message) override { m_handler(_error, _message); }

private:
    Handler m_handler;
};

// A libzmq socket whose readiness is watched by the reactor of a Boost.Asio
// io_context.
//
// Every libzmq call on the socket happens under the socket's own mutex, so
// single operations may come from any thread. Receive completions run on a
// thread that runs the io_context, never inside the call that started them.
// Blocking operations (send, receive) wait without holding that mutex, so the
// io_context keeps receiving on the same socket meanwhile and several threads
// may wait at once; closing the socket wakes them with the closed-socket
// error.
//
// All sockets share the process-wide context (context.hpp). Closing sets
// linger 0: frames still queued for sending are discarded.
//
// Errors are thrown as boost::system::system_error that names the failing call
// (error.hpp): libzmq's in the "ZeroMQ" category, the system's in the system
// category. Whatever is started on a closed socket, synchronous or
// asynchronous, fails with socket_closed_error(); receives pending when it
// closes complete with operation_aborted.
// The object is a movable handle; after a move the source is closed.
class asio_socket {
public:
    asio_socket(boost::asio::io_context& _io_context, int _type);
    asio_socket(asio_socket&& _other) noexcept = default;
    asio_socket& operator=(asio_socket&& _other) noexcept;
    asio_socket(const asio_socket&) = delete;
    asio_socket& operator=(const asio_socket&) = delete;
    ~asio_socket();

    boost::asio::io_context& get_io_context() const;
    bool is_open() const noexcept;

    void connect(const std::string& _endpoint);
    // Any ZeroMQ endpoint; for TCP also the dynamic-port forms of endpoint.hpp.
    void bind(const std::string& _endpoint);
    // ZeroMQ's socket monitor: the events go, as two-frame messages, to a PAIR
    // socket that connects to the inproc endpoint; an empty endpoint stops it.
    void monitor(const std::string& _endpoint, int _events);
    // ZMQ_SUBSCRIBE with the topic's bytes (empty: everything).
    void subscribe(boost::string_view _topic);

    void set_option(int _option, const void* _value, std::size_t _size);
    void set_option(int _option, int _value) { set_option(_option, &_value, sizeof _value); }
    int get_int_option(int _option) const;
    // ZMQ_LAST_ENDPOINT: the address the last bind or connect resolved to.
    std::string last_endpoint() const;

    // Sends one frame with the ZeroMQ send flags; blocks while it cannot be
    // queued (unless _flags holds ZMQ_DONTWAIT, which makes EAGAIN an error).
    void send(message _message, int _flags = 0);
    // Sends without waiting: true when queued (the frame is then consumed),
    // false when ZeroMQ cannot queue it now (the frame is left as it was).
    bool try_send(message& _message, int _flags = 0);
    // Blocks until a frame is there.
    message receive();
    // A frame if one is there now.
    bool try_receive(message& _message);

    // Receives one frame. The handler, called as
    // handler(const boost::system::error_code&, message&), runs on the
    // io_context; operations complete in the order they were started.
    template <typename Handler>
    void async_receive(Handler&& _handler) {
        start_receive(
            std::make_unique<receive_operation_impl<std::decay_t<Handler>>>(std::forward<Handler>(_handler), false));
    }

    // Receives every frame, one handler call each: async_receive started again
    // after each frame (also when the handler throws), without a new operation
    // per frame. It ends with its first error, cancellation included; a
    // cancel() or close() while the handler runs ends it after the handler.
    // Receives started later wait behind it.
    template <typename Handler>
    void async_receive_each(Handler&& _handler) {
        start_receive(
            std::make_unique<receive_operation_impl<std::decay_t<Handler>>>(std::forward<Handler>(_handler), true));
    }

    // Completes every pending receive with operation_aborted.
    void cancel();
    void cancel(boost::system::error_code& _error) noexcept;
    // Cancels, then closes the socket with linger 0 and releases the context.
    void close() noexcept;

private:
    class state;

    void start_receive(std::unique_ptr<receive_operation> _operation);
    // The state; throws socket_closed_error() for _call after a move.
    state& checked_state(const char* _call) const;

    std::shared_ptr<state> m_state;
};

}  // namespace orq::libs::core::zmq::detail
