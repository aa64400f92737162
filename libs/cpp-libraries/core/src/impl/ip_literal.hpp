#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/utility/string_view.hpp>

namespace orq::libs::core::detail {

// The address written as an IPv6 literal, else as an IPv4 literal. Names are
// not resolved: anything else throws boost::system::system_error (invalid
// argument) naming the text.
boost::asio::ip::address parse_ip_literal(boost::string_view _address);

// The port as 16 bits; a value outside 0..65535 throws
// boost::system::system_error (invalid argument) instead of wrapping around
// to some other port.
unsigned short checked_port(int _port);

}  // namespace orq::libs::core::detail
