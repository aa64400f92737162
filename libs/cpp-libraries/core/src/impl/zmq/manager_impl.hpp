#pragma once

#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

#include <boost/asio/io_context.hpp>

namespace orq::libs::core::zmq {

// The ZeroMQ socket factory of one event loop.
class manager_impl : public manager {
public:
    manager_impl(boost::asio::io_context& _io_context, const component_logger& _logger);

    socket::ptr connect(socket::type _type, std::string _address) override;
    socket::ptr bind(socket::type _type, std::string _address) override;

private:
    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
};

}  // namespace orq::libs::core::zmq
