#include "ip_literal.hpp"

#include "socket_error.hpp"

#include <boost/asio/error.hpp>

#include <string>

namespace orq::libs::core::detail {

boost::asio::ip::address parse_ip_literal(boost::string_view _address) {
    const std::string text(_address.data(), _address.size());
    boost::system::error_code error;
    const auto v6 = boost::asio::ip::make_address_v6(text, error);
    if (!error) {
        return v6;
    }
    const auto v4 = boost::asio::ip::make_address_v4(text, error);
    if (!error) {
        return v4;
    }
    throw socket_error(boost::asio::error::invalid_argument, "address literal \"" + text + "\"");
}

unsigned short checked_port(int _port) {
    if (_port < 0 || _port > 65535) {
        throw socket_error(boost::asio::error::invalid_argument, "port " + std::to_string(_port));
    }
    return static_cast<unsigned short>(_port);
}

}  // namespace orq::libs::core::detail
