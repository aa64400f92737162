#include "socket_impl.hpp"

#include "../receive_loop.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>

#include <boost/system/system_error.hpp>

#include <zmq.h>

#include <utility>

namespace orq::libs::core::zmq {

int socket_impl::zmq_type(socket::type _type) noexcept {
    switch (_type) {
    case socket::type::push:
        return ZMQ_PUSH;
    case socket::type::pull:
        return ZMQ_PULL;
    case socket::type::pub:
        return ZMQ_PUB;
    case socket::type::req:
        return ZMQ_REQ;
    case socket::type::rep:
        return ZMQ_REP;
    }
    return -1;
}

socket::ptr socket_impl::connect(socket::type _type, boost::asio::io_context& _io_context,
                                 const component_logger& _logger, std::string _address) {
    return open(_type, _io_context, _logger, _address, &detail::asio_socket::connect, "connect", ORQ_SOURCE_LOCATION);
}

socket::ptr socket_impl::bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                              std::string _address) {
    return open(_type, _io_context, _logger, _address, &detail::asio_socket::bind, "bind", ORQ_SOURCE_LOCATION);
}

socket::ptr socket_impl::open(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                              const std::string& _address, void (detail::asio_socket::*_attach)(const std::string&),
                              const char* _name, const source_location& _location) {
    detail::asio_socket socket(_io_context, zmq_type(_type));
    try {
        (socket.*_attach)(_address);
    } catch (const boost::system::system_error& e) {
        throw exception(std::string("zmq::socket_impl::") + _name + " to " + _address + ": " + e.code().message(),
                        _location);
    }
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(socket));
}

socket_impl::socket_impl(boost::asio::io_context& /*_io_context*/, const component_logger& _logger,
                         detail::asio_socket _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    boost::system::error_code error;
    m_socket.cancel(error);
    if (error) {
        m_logger.log_error(error, ORQ_SOURCE_LOCATION);
    }
    m_data.reset();
    m_socket.close();
}

void socket_impl::set_receive_callback(callback _callback) {
    if (!_callback) {
        // An empty callback would throw std::bad_function_call out of the
        // loop at every frame and could not be told from "never set".
        throw exception("zmq::socket_impl::set_receive_callback: empty callback", ORQ_SOURCE_LOCATION);
    }
    if (!m_data->m_receive_callback) {
        setup_receive();
    }
    m_data->m_receive_callback = std::make_shared<callback>(std::move(_callback));
}

void socket_impl::setup_receive() {
    m_socket.async_receive([data = m_data, self = this](const boost::system::error_code& _error, message& _message) {
        if (!data->m_socket_alive) {
            return;
        }
        if (core::detail::receive_loop_ends(_error, self->m_logger, ORQ_SOURCE_LOCATION)) {
            return;
        }
        const scope_guard next =
            core::detail::rearm_guard(data->m_socket_alive, self->m_logger, [self] { self->setup_receive(); });
        // Held while it runs: the callback may replace itself through
        // set_receive_callback.
        const std::shared_ptr<callback> receive_callback = data->m_receive_callback;
        (*receive_callback)(_message);
    });
}

void socket_impl::send(message _message) {
    send(std::move(_message), flags::none);
}

void socket_impl::send(message _message, flags _flags) {
    m_socket.send(std::move(_message), static_cast<int>(_flags));
}

bool socket_impl::try_send(message _message) {
    return try_send(std::move(_message), flags::none);
}

bool socket_impl::try_send(message _message, flags _flags) {
    return m_socket.try_send(_message, static_cast<int>(_flags));
}

message socket_impl::receive_more() {
    return m_socket.receive();
}

}  // namespace orq::libs::core::zmq
