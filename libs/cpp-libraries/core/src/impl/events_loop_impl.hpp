#pragma once

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/timers_manager.hpp>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <memory>

namespace orq::libs::core {

class events_loop_impl final : public events_loop {
public:
    // How long the destructor keeps running handlers that are still queued.
    static constexpr std::chrono::seconds drain_timeout{10};

    events_loop_impl(core& _core, const component_logger& _logger);
    ~events_loop_impl() override;

    events_loop_impl(const events_loop_impl&) = delete;
    events_loop_impl& operator=(const events_loop_impl&) = delete;

    void run() override;
    void run_catch_exceptions(source_location _location) override;
    void stop() override;
    bool is_stopped() const override;
    signals_handle::ptr stop_on_signals() override;

    timers_manager& get_timers() override;
    timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                            source_location _loc) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                              timer::callback _callback, source_location _loc) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now _tag,
                                              const std::string& _name, timer::callback _callback,
                                              source_location _loc) override;

    message_stream::ptr create_zmq_message_stream(const std::string& _address) override;
    message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) override;
    udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) override;
    udp::socket::ptr create_udp_socket(const std::string& _address, int _port) override;
    tcp::manager& get_tcp() override;
    zmq::manager& get_zmq() override;

    http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) override;
    http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                         const std::vector<http::method>& _disabled_methods, int _num_threads) override;
    async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>::ptr create_redis_context(
        boost::string_view _ip, int _port, int _db) override;

    using events_loop::post;
    void post(std::function<void()> _handler, source_location _location) override;
    work::ptr create_work() override;

    boost::asio::io_context& get_io_context() override;
    const boost::asio::io_context& get_io_context() const override;

private:
    // Runs what is still queued, for at most drain_timeout; never throws.
    void drain() noexcept;

    // Managers are created in declaration order and destroyed in reverse
    // order by the destructor, before the io_context goes.
    core& m_core;
    boost::asio::io_context m_io_context;
    const component_logger& m_logger;
    std::unique_ptr<timers_manager> m_timers;
    std::unique_ptr<tcp::manager> m_tcp;
    std::unique_ptr<zmq::manager> m_zmq;
};

}  // namespace orq::libs::core
