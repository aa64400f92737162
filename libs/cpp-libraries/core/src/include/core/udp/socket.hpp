#pragma once

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace orq::libs::core::udp {

// A UDP socket bound to a local port. Datagrams are sent synchronously from the
// calling thread; every datagram received is handed to the receive callback on
// the loop's thread, together with the sender and the IPv4 address of the
// local interface that received it (for a broadcast, the interface's own
// address, not the broadcast address).
//
// On an IPv6 socket the sender is reported as the kernel gives it: an IPv6
// endpoint, IPv4 senders in their v4-mapped form (::ffff:a.b.c.d), so that it
// can be used as the destination of a reply from the same socket. The local
// address of a datagram that came over IPv4 (v4-mapped) is the receiving
// interface's address, as for an IPv4 socket; a datagram that came over IPv6
// has no IPv4 local address and reports 0.0.0.0.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using endpoint = boost::asio::ip::udp::endpoint;
    using message = boost::string_view;
    // The view is valid only during the call.
    using callback =
        std::function<void(const endpoint& _remote, const boost::asio::ip::address_v4& _local, const message& _data)>;

    virtual ~socket() = default;

    // The first call starts receiving; later calls only exchange the callback.
    virtual void set_receive_callback(callback _callback) = 0;
    // One datagram, from the bound port; waits while the kernel cannot take it.
    // A failure throws boost::system::system_error naming the destination
    // ("send_to 192.0.2.7:40000: ...").
    virtual void send_to(const endpoint& _destination, const message& _message) = 0;
    virtual void send_to(const boost::string_view& _address, int _port, const message& _message) = 0;
    // An address literal (IPv4 or IPv6, no name resolution) and a port in
    // 0..65535; anything else throws boost::system::system_error.
    virtual endpoint make_endpoint(const boost::string_view& _address, int _port) const = 0;
    // The bound address and port (the port the system chose for port 0).
    virtual endpoint local_endpoint() const = 0;
};

}  // namespace orq::libs::core::udp
