#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/client.hpp>
#include <core/http/method.hpp>
#include <core/ip_protocol.hpp>
#include <core/message_stream.hpp>
#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/tcp/manager.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>
#include <core/udp/socket.hpp>
#include <core/zmq/manager.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace orq::libs::core {

namespace redis {
class context;
}  // namespace redis

// One Boost.Asio io_context behind an interface: runs handlers, takes posted
// work from any thread, can be stopped from any thread, and creates the I/O
// objects of the library. The thread that calls run() is the loop's thread:
// every handler and callback of the objects made here runs there.
class events_loop {
public:
    using ptr = std::unique_ptr<events_loop>;

    // While a work object exists, run() does not return for lack of work.
    class work {
    public:
        using ptr = std::unique_ptr<work>;
        virtual ~work() = default;
    };

    // Stops the loop on the first SIGINT or SIGTERM of the process.
    class signals_handle {
    public:
        using ptr = std::unique_ptr<signals_handle>;
        virtual ~signals_handle() = default;
        virtual bool signal_is_received() const = 0;
    };

    virtual ~events_loop() = default;

    // Runs handlers on the calling thread until the loop is stopped or has no
    // more work. Does not restart a stopped loop. A handler's exception
    // propagates; the handlers still queued stay queued.
    virtual void run() = 0;
    // run() again and again, logging whatever it throws, until it returns normally.
    virtual void run_catch_exceptions(source_location _location) = 0;
    // Any thread: every run() returns after its current handler.
    virtual void stop() = 0;
    virtual bool is_stopped() const = 0;
    // The handle must outlive neither this loop nor the loop's core.
    virtual signals_handle::ptr stop_on_signals() = 0;

    virtual timers_manager& get_timers() = 0;
    virtual timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                                    source_location _loc) = 0;
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                      timer::callback _callback, source_location _loc) = 0;
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      periodic_timer::execute_now _tag, const std::string& _name,
                                                      timer::callback _callback, source_location _loc) = 0;

    // Topic streams on a ZeroMQ publisher at the address: the JSON form
    // ("#"-prefixed names, bodies from the first "{") and the raw form (whole
    // frames). A malformed address throws boost::system::system_error.
    virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
    virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;
    // A UDP socket bound to the port on the unspecified address of the family,
    // or on the address literal. Failures throw boost::system::system_error.
    virtual udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) = 0;
    virtual udp::socket::ptr create_udp_socket(const std::string& _address, int _port) = 0;
    // The loop's TCP connections and listeners.
    virtual tcp::manager& get_tcp() = 0;
    // The loop's factory of ZeroMQ sockets.
    virtual zmq::manager& get_zmq() = 0;

    // An HTTP client of the service at the base address, with 10 worker
    // threads and no disabled methods. _timeout bounds each whole transfer
    // (0: no bound). Results of its asynchronous requests arrive on this loop.
    virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) = 0;
    // Requests with a disabled method are never sent. _num_threads below 1
    // throws the library's exception.
    virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                                 const std::vector<http::method>& _disabled_methods,
                                                 int _num_threads) = 0;

    // Connects to a Redis server and selects the database; the handle delivers
    // the context on this loop once both of its connections are up, or an
    // empty optional when the server could not be reached.
    virtual async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>::ptr create_redis_context(
        boost::string_view _ip, int _port, int _db) = 0;

    // Any thread: the handler runs later on a thread inside run(), never inside
    // post itself; handlers start in the order they were posted. The location
    // is for the caller's diagnostics (pass source_location()). An empty
    // function makes run() throw std::bad_function_call when its turn comes.
    virtual void post(std::function<void()> _handler, source_location _location) = 0;

    // The same for any other function object (a lambda, typically), queued as
    // it is: no std::function is built around it, which keeps the queued
    // operation small and saves two indirect calls per handler. Handlers
    // posted through either overload share one queue and one order.
    template <typename Handler,
              typename = std::enable_if_t<std::is_class_v<std::decay_t<Handler>> &&
                                          !std::is_same_v<std::decay_t<Handler>, std::function<void()>>>>
    void post(Handler&& _handler, source_location /*_location*/) {
        boost::asio::post(get_io_context(), std::forward<Handler>(_handler));
    }
    // Any thread.
    virtual work::ptr create_work() = 0;

    // For creating Boost.Asio I/O objects bound to this loop.
    virtual boost::asio::io_context& get_io_context() = 0;
    virtual const boost::asio::io_context& get_io_context() const = 0;
};

}  // namespace orq::libs::core
