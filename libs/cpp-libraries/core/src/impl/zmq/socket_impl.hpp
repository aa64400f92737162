#pragma once

#include <core/logger.hpp>
#include <core/zmq/socket.hpp>

#include "asio_socket.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

namespace orq::libs::core::zmq {

class socket_impl : public socket {
public:
    // Create a socket of the type on the io_context and connect (bind) it.
    // An unknown type throws boost::system::system_error; a failed connect
    // (bind) throws exception "zmq::socket_impl::connect to <address>: <text>".
    static socket::ptr connect(socket::type _type, boost::asio::io_context& _io_context,
                               const component_logger& _logger, std::string _address);
    static socket::ptr bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                            std::string _address);

    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, detail::asio_socket _socket);
    ~socket_impl() override;
    socket_impl(const socket_impl&) = delete;
    socket_impl& operator=(const socket_impl&) = delete;

    void set_receive_callback(callback _callback) override;
    void send(message _message) override;
    void send(message _message, flags _flags) override;
    bool try_send(message _message) override;
    bool try_send(message _message, flags _flags) override;
    message receive_more() override;

    // The ZeroMQ socket type of _type, -1 for values outside push..rep.
    static int zmq_type(socket::type _type) noexcept;

private:
    // State shared with the pending receive, which may complete after the
    // socket object has gone.
    struct shared_data {
        bool m_socket_alive = true;
        // Called through a copy of the pointer: a callback that replaces
        // itself stays alive until it returns, and keeps its own state.
        std::shared_ptr<callback> m_receive_callback;
    };

    // The socket of a factory, connected or bound by _attach; a failure
    // throws exception "zmq::socket_impl::<_name> to <address>: <text>" with
    // the factory's _location.
    static socket::ptr open(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                            const std::string& _address, void (detail::asio_socket::*_attach)(const std::string&),
                            const char* _name, const source_location& _location);

    // Queues one asynchronous receive; its completion calls the callback and
    // queues the next one.
    void setup_receive();

    detail::asio_socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace orq::libs::core::zmq
