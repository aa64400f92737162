#include "acceptor_impl.hpp"

#include "socket_impl.hpp"

#include "../ip_literal.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <utility>

namespace orq::libs::core::tcp {

namespace {

acceptor_impl::endpoint unspecified_endpoint(ip_protocol _protocol, unsigned short _port) {
    if (_protocol == ip_protocol::v4) {
        return acceptor_impl::endpoint(boost::asio::ip::address_v4::any(), _port);
    }
    return acceptor_impl::endpoint(boost::asio::ip::address_v6::any(), _port);
}

void throw_on(const boost::system::error_code& _error, const char* _step) {
    if (_error) {
        throw boost::system::system_error(_error, _step);
    }
}

}  // namespace

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, endpoint _endpoint)
    : m_io_context(_io_context), m_logger(_logger), m_acceptor(_io_context) {
    boost::system::error_code error;
    m_acceptor.open(_endpoint.protocol(), error);
    throw_on(error, "open");
    m_acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
    throw_on(error, "set_option");
    m_acceptor.bind(_endpoint, error);
    throw_on(error, "bind");
    m_acceptor.listen(backlog, error);
    throw_on(error, "listen");
    m_acceptor_alive = std::make_shared<bool>(true);
}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             ip_protocol _protocol, unsigned short _port)
    : acceptor_impl(_io_context, _logger, unspecified_endpoint(_protocol, _port)) {}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             boost::string_view _address, unsigned short _port)
    : acceptor_impl(_io_context, _logger, endpoint(detail::parse_ip_literal(_address), _port)) {}

acceptor_impl::~acceptor_impl() {
    *m_acceptor_alive = false;
    m_acceptor_alive.reset();
    m_callback = nullptr;
    // Completes a pending accept with operation_aborted; it returns at once.
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

void acceptor_impl::set_callback(callback _callback) {
    if (!_callback) {
        // Would throw at every connection inside the loop, and a second call
        // could not tell it from "never set" and would queue a second accept.
        throw exception("tcp::acceptor_impl::set_callback: empty callback", ORQ_SOURCE_LOCATION);
    }
    if (!m_callback) {
        setup_accept();
    }
    m_callback = std::move(_callback);
}

void acceptor_impl::setup_accept() {
    // The connection's socket is made on the acceptor's io_context.
    m_acceptor.async_accept([alive = m_acceptor_alive, self = this](const boost::system::error_code& _error,
                                                                    boost::asio::ip::tcp::socket _connection) {
        if (!*alive) {
            return;  // _connection, if any, closes here
        }
        if (_error) {
            // Accepting ends here for good.
            if (_error != boost::asio::error::operation_aborted) {
                self->m_logger.log_error(_error, ORQ_SOURCE_LOCATION);
            }
            return;
        }
        // Queues the next accept however this one ends, unless the
        // callback destroyed the acceptor.
        const scope_guard next = make_scope_guard([&alive, self] {
            if (*alive) {
                // Runs while an exception may be unwinding: contain its own.
                self->m_logger.execute([self] { self->setup_accept(); });
            }
        });
        socket::ptr connection =
            std::make_unique<socket_impl>(self->m_io_context, self->m_logger, std::move(_connection));
        // A copy: the callback may replace itself, or destroy the acceptor.
        const callback on_accept = self->m_callback;
        on_accept(std::move(connection));
    });
}

}  // namespace orq::libs::core::tcp
