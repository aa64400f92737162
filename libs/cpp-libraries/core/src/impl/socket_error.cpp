#include "socket_error.hpp"

namespace orq::libs::core::detail {

socket_error::socket_error(const boost::system::error_code& _error, const std::string& _what)
    : boost::system::system_error(without_location(_error), _what), m_what(_what + ": " + _error.message()) {}

const char* socket_error::what() const noexcept {
    return m_what.c_str();
}

boost::system::error_code without_location(const boost::system::error_code& _error) {
    return boost::system::error_code(_error.value(), _error.category());
}

std::string endpoint_text(const boost::asio::ip::address& _address, unsigned short _port) {
    const std::string address = _address.to_string();
    if (_address.is_v6()) {
        return "[" + address + "]:" + std::to_string(_port);
    }
    return address + ":" + std::to_string(_port);
}

void throw_on_error(const boost::system::error_code& _error, const std::string& _what) {
    if (_error) {
        throw socket_error(_error, _what);
    }
}

}  // namespace orq::libs::core::detail
