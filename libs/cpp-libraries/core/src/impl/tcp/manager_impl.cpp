#include "manager_impl.hpp"

#include "acceptor_impl.hpp"
#include "socket_impl.hpp"

#include "../ip_literal.hpp"

#include <memory>

namespace orq::libs::core::tcp {

manager_impl::manager_impl(events_loop& _events_loop, boost::asio::io_context& _io_context,
                           const component_logger& _logger)
    : m_events_loop(_events_loop), m_io_context(_io_context), m_logger(_logger) {}

socket::ptr manager_impl::connect(boost::string_view _address, int _port) {
    return socket_impl::connect(m_io_context, m_logger, _address, detail::checked_port(_port));
}

async_operation_handle<connect_result>::ptr manager_impl::connect_async(std::string _address, int _port) {
    return connect_async(std::move(_address), _port, std::chrono::nanoseconds::zero());
}

async_operation_handle<connect_result>::ptr manager_impl::connect_async(std::string _address, int _port,
                                                                        std::chrono::nanoseconds _timeout) {
    return socket_impl::connect_async(m_events_loop, m_io_context, m_logger, _address, detail::checked_port(_port),
                                      _timeout);
}

acceptor::ptr manager_impl::listen(ip_protocol _protocol, int _port) {
    return std::make_unique<acceptor_impl>(m_io_context, m_logger, _protocol, detail::checked_port(_port));
}

acceptor::ptr manager_impl::listen(boost::string_view _address, int _port) {
    return std::make_unique<acceptor_impl>(m_io_context, m_logger, _address, detail::checked_port(_port));
}

}  // namespace orq::libs::core::tcp
