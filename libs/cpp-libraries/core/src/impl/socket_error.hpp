#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <string>

namespace orq::libs::core::detail {

// A failed step of a socket: "<what>: <the system's text>", for instance
// "bind 0.0.0.0:8080: Address already in use". The code keeps its value and
// category but not the location inside Boost that reported it, and the text
// carries neither, so that it reads as one line in a log.
class socket_error : public boost::system::system_error {
public:
    socket_error(const boost::system::error_code& _error, const std::string& _what);

    const char* what() const noexcept override;

private:
    std::string m_what;
};

// The error without the location where Boost set it.
boost::system::error_code without_location(const boost::system::error_code& _error);

// "<address>:<port>", an IPv6 address in brackets ("[::1]:80").
std::string endpoint_text(const boost::asio::ip::address& _address, unsigned short _port);

template <typename Endpoint>
std::string endpoint_text(const Endpoint& _endpoint) {
    return endpoint_text(_endpoint.address(), _endpoint.port());
}

// Throws socket_error when _error reports a failure.
void throw_on_error(const boost::system::error_code& _error, const std::string& _what);

}  // namespace orq::libs::core::detail
