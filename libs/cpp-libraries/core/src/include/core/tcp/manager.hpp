#pragma once

#include <core/ip_protocol.hpp>
#include <core/tcp/acceptor.hpp>
#include <core/tcp/socket.hpp>

#include <boost/utility/string_view.hpp>

namespace orq::libs::core::tcp {

// The TCP entry point of one event loop. Addresses are literals (IPv6 or
// IPv4, no name resolution) and ports lie in 0..65535; anything else throws
// boost::system::system_error.
class manager {
public:
    virtual ~manager() = default;

    // Connects synchronously: the calling thread waits until the connection
    // is made; a failure throws boost::system::system_error ("connect: ...").
    virtual socket::ptr connect(boost::string_view _address, int _port) = 0;
    // Listens on the unspecified address of the family (port 0: the system
    // chooses). A failed step throws boost::system::system_error named after
    // it: "open", "set_option", "bind", "listen".
    virtual acceptor::ptr listen(ip_protocol _protocol, int _port) = 0;
    virtual acceptor::ptr listen(boost::string_view _address, int _port) = 0;
};

}  // namespace orq::libs::core::tcp
