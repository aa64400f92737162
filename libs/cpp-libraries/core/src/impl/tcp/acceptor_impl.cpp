#include "acceptor_impl.hpp"

#include "socket_impl.hpp"

#include "../ip_literal.hpp"
#include "../socket_error.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/error.hpp>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

namespace orq::libs::core::tcp {

namespace {

acceptor_impl::endpoint unspecified_endpoint(ip_protocol _protocol, unsigned short _port) {
    if (_protocol == ip_protocol::v4) {
        return acceptor_impl::endpoint(boost::asio::ip::address_v4::any(), _port);
    }
    return acceptor_impl::endpoint(boost::asio::ip::address_v6::any(), _port);
}

// A connection that was reset or broken while it waited in the backlog: the
// next one is unaffected.
bool peer_gave_up(const boost::system::error_code& _error) {
    return _error == boost::asio::error::connection_aborted ||
           _error == boost::system::error_code(EPROTO, boost::system::system_category());
}

}  // namespace

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, endpoint _endpoint)
    : m_io_context(_io_context), m_logger(_logger), m_acceptor(_io_context), m_retry_timer(_io_context) {
    const std::string subject = " " + detail::endpoint_text(_endpoint);
    boost::system::error_code error;
    m_acceptor.open(_endpoint.protocol(), error);
    detail::throw_on_error(error, "open" + subject);
    m_acceptor.set_option(boost::asio::socket_base::reuse_address(true), error);
    detail::throw_on_error(error, "set_option" + subject);
    m_acceptor.bind(_endpoint, error);
    detail::throw_on_error(error, "bind" + subject);
    m_acceptor.listen(backlog, error);
    detail::throw_on_error(error, "listen" + subject);
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
    // Completes a pending accept or retry wait with operation_aborted; they
    // return at once.
    m_retry_timer.cancel();
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

acceptor::endpoint acceptor_impl::local_endpoint() const {
    boost::system::error_code error;
    const endpoint local = m_acceptor.local_endpoint(error);
    detail::throw_on_error(error, "local_endpoint");
    return local;
}

void acceptor_impl::setup_accept() {
    // The connection's socket is made on the acceptor's io_context.
    m_acceptor.async_accept([alive = m_acceptor_alive, self = this](const boost::system::error_code& _error,
                                                                    boost::asio::ip::tcp::socket _connection) {
        if (!*alive) {
            return;  // _connection, if any, closes here
        }
        if (_error) {
            self->accept_failed(_error);
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

void acceptor_impl::accept_failed(const boost::system::error_code& _error) {
    if (_error == boost::asio::error::operation_aborted) {
        return;  // only closing the acceptor cancels
    }
    if (peer_gave_up(_error)) {
        m_logger.execute([this] { setup_accept(); });
        return;
    }
    // EMFILE, ENFILE, ENOBUFS, ENOMEM: the connection stays in the backlog
    // until descriptors or memory are freed.
    if (std::find(m_reported_errors.begin(), m_reported_errors.end(), _error.value()) == m_reported_errors.end()) {
        m_reported_errors.push_back(_error.value());
        m_logger.log_error(detail::without_location(_error), ORQ_SOURCE_LOCATION);
    }
    m_retry_timer.expires_after(retry_delay);
    m_retry_timer.async_wait([alive = m_acceptor_alive, self = this](const boost::system::error_code& _wait_error) {
        if (!*alive || _wait_error) {
            return;
        }
        self->m_logger.execute([self] { self->setup_accept(); });
    });
}

}  // namespace orq::libs::core::tcp
