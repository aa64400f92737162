#pragma once

#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/udp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::udp {

class socket_impl final : public socket {
public:
    // Large enough for the largest datagram over IPv4 and over IPv6 without
    // jumbograms.
    static constexpr std::size_t receive_buffer_size = 65536;
    // Datagrams read per readiness report before the socket waits again: the
    // wait costs two system calls, so a busy socket reads on while it has
    // data, and other handlers of the loop still get their turn in between.
    static constexpr int max_datagrams_per_wakeup = 32;

    // Opens a socket of the endpoint's family and binds it (no address reuse:
    // a port in use fails); then asks for the receiving interface's address
    // with every datagram. Failures throw boost::system::system_error naming
    // the step and the endpoint ("bind 0.0.0.0:53: ..."). Nothing is received
    // before a callback is set.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, endpoint _endpoint);
    // The unspecified address of the family (IPv4 for v4, IPv6 otherwise).
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                int _port);
    // An IPv4 or IPv6 address literal.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, const std::string& _address,
                int _port);
    ~socket_impl() override;
    socket_impl(const socket_impl&) = delete;
    socket_impl& operator=(const socket_impl&) = delete;

    void set_receive_callback(callback _callback) override;
    void send_to(const endpoint& _destination, const message& _message) override;
    void send_to(const boost::string_view& _address, int _port, const message& _message) override;
    endpoint make_endpoint(const boost::string_view& _address, int _port) const override;
    endpoint local_endpoint() const override;

private:
    // State shared with the pending wait, which may complete after the socket
    // object has gone.
    struct shared_data {
        std::vector<char> m_buffer = std::vector<char>(receive_buffer_size);
        bool m_socket_alive = true;
        // errno values of failed reads already logged: each kind is reported
        // once, so that a lasting fault cannot flood the log.
        std::vector<int> m_reported_read_errors;
    };

    // Waits for the socket to become readable; the completion reads what is
    // there and waits again.
    void setup_receive();
    // Reads and delivers the datagrams that are ready, up to
    // max_datagrams_per_wakeup. Stops early when this object is destroyed by
    // the callback.
    void receive_ready(shared_data& _data);
    void report_read_error(shared_data& _data, int _errno);

    boost::asio::ip::udp::socket m_socket;
    const component_logger& m_logger;
    callback m_callback;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace orq::libs::core::udp
