#pragma once

#include <core/async_operation_handle.hpp>
#include <core/ip_protocol.hpp>
#include <core/tcp/acceptor.hpp>
#include <core/tcp/socket.hpp>

#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <string>

namespace orq::libs::core::tcp {

// The outcome of manager::connect_async: the connected socket, or a null
// socket and the error (connection_refused, timed_out, ...).
struct connect_result {
    tcp::socket::ptr socket;
    boost::system::error_code error;
};

// The TCP entry point of one event loop. Addresses are literals (IPv6 or
// IPv4, no name resolution) and ports lie in 0..65535; anything else throws
// boost::system::system_error. Errors name the step, the address and the
// port: "bind 0.0.0.0:8080: Address already in use".
class manager {
public:
    virtual ~manager() = default;

    // Connects synchronously: the calling thread waits until the connection
    // is made (with nothing else of the loop running meanwhile); a failure
    // throws boost::system::system_error ("connect 127.0.0.1:80: ...").
    virtual socket::ptr connect(boost::string_view _address, int _port) = 0;
    // Listens on the unspecified address of the family (port 0: the system
    // chooses; the acceptor's local_endpoint tells). A failed step throws
    // boost::system::system_error named after it: "open", "set_option",
    // "bind", "listen", followed by the address and port.
    virtual acceptor::ptr listen(ip_protocol _protocol, int _port) = 0;
    virtual acceptor::ptr listen(boost::string_view _address, int _port) = 0;
    // Connects without blocking: the result arrives on the loop's thread.
    // Dropping the handle abandons the attempt and closes what it made;
    // restart() makes a new attempt. A malformed address or port throws here.
    virtual async_operation_handle<connect_result>::ptr connect_async(std::string _address, int _port) = 0;
    // The same, given up with timed_out after _timeout (zero or less: the
    // system's own limit, over two minutes against a peer that drops SYNs).
    virtual async_operation_handle<connect_result>::ptr connect_async(std::string _address, int _port,
                                                                      std::chrono::nanoseconds _timeout) = 0;
};

}  // namespace orq::libs::core::tcp
