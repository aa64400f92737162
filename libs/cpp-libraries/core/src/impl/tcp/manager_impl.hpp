#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/io_context.hpp>

namespace orq::libs::core::tcp {

// The TCP entry point of one event loop.
class manager_impl final : public manager {
public:
    // _events_loop delivers the results of connect_async; _io_context is its
    // own.
    manager_impl(events_loop& _events_loop, boost::asio::io_context& _io_context, const component_logger& _logger);

    socket::ptr connect(boost::string_view _address, int _port) override;
    acceptor::ptr listen(ip_protocol _protocol, int _port) override;
    acceptor::ptr listen(boost::string_view _address, int _port) override;
    async_operation_handle<connect_result>::ptr connect_async(std::string _address, int _port) override;
    async_operation_handle<connect_result>::ptr connect_async(std::string _address, int _port,
                                                              std::chrono::nanoseconds _timeout) override;

private:
    events_loop& m_events_loop;
    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
};

}  // namespace orq::libs::core::tcp
