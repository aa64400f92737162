#include "events_loop_impl.hpp"

#include "http/client_impl.hpp"
#include "message_stream_zmq.hpp"
#include "message_stream_zmq_raw.hpp"
#include "signals_handle_impl.hpp"
#include "tcp/manager_impl.hpp"
#include "timers_manager_impl.hpp"
#include "udp/socket_impl.hpp"
#include "zmq/manager_impl.hpp"
#include "redis/context_impl.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <utility>

namespace orq::libs::core {

events_loop_impl::events_loop_impl(core& _core, const component_logger& _logger)
    : m_core(_core),
      // One thread runs the loop: handlers it posts itself skip the queue's
      // lock (posts from other threads still take it, and still arrive).
      m_io_context(1),
      m_logger(_logger),
      m_timers(std::make_unique<timers_manager_impl>(*this, m_logger)),
      m_tcp(std::make_unique<tcp::manager_impl>(*this, m_io_context, m_logger)),
      m_zmq(std::make_unique<zmq::manager_impl>(m_io_context, m_logger)) {}

events_loop_impl::~events_loop_impl() {
    drain();
    // Managers in reverse order of creation, then (as a member) the io_context,
    // which discards whatever is still queued without running it.
    m_zmq.reset();
    m_tcp.reset();
    m_timers.reset();
}

void events_loop_impl::drain() noexcept {
    // Completions of operations cancelled by objects already destroyed, and
    // handlers posted after stop(), get their turn here. A handler that throws
    // is logged, and one that stops the loop is overruled: the drain goes on
    // with the next one. A loop that stays busy is torn down anyway once the
    // deadline has passed.
    try {
        const auto deadline = std::chrono::steady_clock::now() + drain_timeout;
        // Whether a handler ran since the last restart: only then can a
        // handler have stopped the loop, and is running out worth a restart.
        bool ran = true;
        while (ran && std::chrono::steady_clock::now() < deadline) {
            m_io_context.restart();
            ran = false;
            try {
                while (m_io_context.run_one_until(deadline) != 0) {
                    ran = true;
                }
            } catch (...) {
                ran = true;
                m_logger.log_exception(ORQ_SOURCE_LOCATION);
            }
        }
    } catch (...) {
        // Only the logging itself can get here; nothing is left to report to.
    }
}

void events_loop_impl::run() {
    m_io_context.run();
}

void events_loop_impl::run_catch_exceptions(source_location _location) {
    for (;;) {
        try {
            m_io_context.run();
            return;
        } catch (...) {
            m_logger.log_exception(_location);
        }
    }
}

void events_loop_impl::stop() {
    m_io_context.stop();
}

bool events_loop_impl::is_stopped() const {
    return m_io_context.stopped();
}

events_loop::signals_handle::ptr events_loop_impl::stop_on_signals() {
    return std::make_unique<signals_handle_impl>(m_core, *this, m_logger);
}

timers_manager& events_loop_impl::get_timers() {
    return *m_timers;
}

timer::ptr events_loop_impl::create_timer(timer::time_point _time_point, const std::string& _name,
                                          timer::callback _callback, source_location _loc) {
    return m_timers->create_timer(_time_point, _name, std::move(_callback), _loc);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                            timer::callback _callback, source_location _loc) {
    return m_timers->create_periodic_timer(_period, _name, std::move(_callback), _loc);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                            periodic_timer::execute_now _tag, const std::string& _name,
                                                            timer::callback _callback, source_location _loc) {
    return m_timers->create_periodic_timer(_period, _tag, _name, std::move(_callback), _loc);
}

message_stream::ptr events_loop_impl::create_zmq_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq>(get_io_context(), m_logger, _address);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq_raw>(get_io_context(), m_logger, _address);
}

udp::socket::ptr events_loop_impl::create_udp_socket(ip_protocol _protocol, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _protocol, _port);
}

udp::socket::ptr events_loop_impl::create_udp_socket(const std::string& _address, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _address, _port);
}

tcp::manager& events_loop_impl::get_tcp() {
    return *m_tcp;
}

zmq::manager& events_loop_impl::get_zmq() {
    return *m_zmq;
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout) {
    return create_http_client(_address, _timeout, {}, 10);
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                                       const std::vector<http::method>& _disabled_methods,
                                                       int _num_threads) {
    return std::make_unique<http::client_impl>(*this, m_core, m_logger, _address, _timeout, _disabled_methods,
                                               _num_threads);
}

async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>::ptr events_loop_impl::create_redis_context(
    boost::string_view _ip, int _port, int _db) {
    return redis::context_impl::create(*this, m_logger, _ip, _port, _db);
}

void events_loop_impl::post(std::function<void()> _handler, source_location /*_location*/) {
    // The function object is moved into the queued operation, not copied again.
    boost::asio::post(m_io_context, std::move(_handler));
}

events_loop::work::ptr events_loop_impl::create_work() {
    class work_impl final : public events_loop::work {
    public:
        explicit work_impl(boost::asio::io_context& _io_context) : m_guard(_io_context.get_executor()) {}

    private:
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_guard;
    };
    return std::make_unique<work_impl>(m_io_context);
}

boost::asio::io_context& events_loop_impl::get_io_context() {
    return m_io_context;
}

const boost::asio::io_context& events_loop_impl::get_io_context() const {
    return m_io_context;
}

}  // namespace orq::libs::core
