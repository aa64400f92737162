#include "socket_impl.hpp"

#include "../ip_literal.hpp"
#include "../receive_loop.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace orq::libs::core::tcp {

socket::ptr socket_impl::connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                                 boost::string_view _address, unsigned short _port) {
    const endpoint peer(detail::parse_ip_literal(_address), _port);
    boost::asio::ip::tcp::socket connection(_io_context);
    boost::system::error_code error;
    // Opens the socket too; either failure is the connect's.
    connection.connect(peer, error);
    if (error) {
        throw boost::system::system_error(error, "connect");
    }
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(connection));
}

socket_impl::socket_impl(boost::asio::io_context& /*_io_context*/, const component_logger& _logger,
                         boost::asio::ip::tcp::socket _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    boost::system::error_code error;
    m_socket.non_blocking(true, error);
    if (error) {
        throw boost::system::system_error(error, "non_blocking");
    }
}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    // Completes a pending read or wait with operation_aborted; they return at
    // once and call nothing.
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void socket_impl::set_close_callback(close_callback _callback) {
    m_data->m_close_callback = std::move(_callback);
}

void socket_impl::set_receive_callback(receive_callback _callback) {
    if (!_callback) {
        // Would throw at every chunk inside the loop, and a second call could
        // not tell it from "never set" and would queue a second read.
        throw exception("tcp::socket_impl::set_receive_callback: empty callback", ORQ_SOURCE_LOCATION);
    }
    if (!m_data->m_receive_callback) {
        setup_receive();
    }
    m_data->m_receive_callback = std::move(_callback);
}

socket::endpoint socket_impl::get_remote_endpoint() const {
    boost::system::error_code error;
    const endpoint remote = m_socket.remote_endpoint(error);
    if (error) {
        throw boost::system::system_error(error, "remote_endpoint");
    }
    return remote;
}

void socket_impl::set_can_send_callback(can_send_callback _callback) {
    m_data->m_can_send_callback = std::move(_callback);
}

void socket_impl::notify_that_send_is_possible() {
    if (m_data->m_waiting_in_progress) {
        return;
    }
    m_data->m_waiting_in_progress = true;
    m_socket.async_wait(boost::asio::socket_base::wait_write, [data = m_data](const boost::system::error_code& _error) {
        if (!data->m_socket_alive) {
            return;
        }
        data->m_waiting_in_progress = false;
        if (_error) {
            throw boost::system::system_error(_error, "wait for writability");
        }
        if (data->m_can_send_callback) {
            // A copy: the callback may replace itself.
            const can_send_callback can_send = data->m_can_send_callback;
            can_send();
        }
    });
}

std::size_t socket_impl::send_some(message _message) {
    if (_message.empty()) {
        return 0;
    }
    for (;;) {
        // MSG_NOSIGNAL: a broken connection is an error here, not SIGPIPE.
        const ssize_t sent = ::send(m_socket.native_handle(), _message.data(), _message.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent);
        }
        const int failure = errno;
        if (failure == EINTR) {
            continue;
        }
        if (failure == EAGAIN || failure == EWOULDBLOCK) {
            return 0;
        }
        throw boost::system::system_error(boost::system::error_code(failure, boost::system::system_category()),
                                          "send_some");
    }
}

void socket_impl::setup_receive() {
    m_socket.async_read_some(
        boost::asio::buffer(m_data->m_buffer),
        [data = m_data, self = this](const boost::system::error_code& _error, std::size_t _length) {
            if (!data->m_socket_alive) {
                return;
            }
            if (_error == boost::asio::error::eof) {
                // The peer closed its side in order; receiving ends.
                if (data->m_close_callback) {
                    const close_callback on_close = data->m_close_callback;
                    on_close();
                }
                return;
            }
            if (detail::receive_loop_ends(_error, self->m_logger, ORQ_SOURCE_LOCATION)) {
                return;
            }
            const scope_guard next =
                detail::rearm_guard(data->m_socket_alive, self->m_logger, [self] { self->setup_receive(); });
            // A copy: the callback may replace itself while it runs.
            const receive_callback receive = data->m_receive_callback;
            receive(boost::string_view(data->m_buffer.data(), _length));
        });
}

}  // namespace orq::libs::core::tcp
