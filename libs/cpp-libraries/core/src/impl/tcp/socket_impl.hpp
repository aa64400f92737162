#pragma once

#include <core/logger.hpp>
#include <core/tcp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <memory>
#include <vector>

namespace orq::libs::core::tcp {

class socket_impl final : public socket {
public:
    static constexpr std::size_t receive_buffer_size = 65536;

    // Connects synchronously to an address literal (IPv6 or IPv4, no name
    // resolution). Failures throw boost::system::system_error ("connect: ..."
    // when the connection cannot be made).
    static socket::ptr connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                               boost::string_view _address, unsigned short _port);

    // Takes over a connected socket and switches it to non-blocking mode
    // (failure: boost::system::system_error "non_blocking: ..."). Nothing is
    // received before a receive callback is set.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                boost::asio::ip::tcp::socket _socket);
    ~socket_impl() override;
    socket_impl(const socket_impl&) = delete;
    socket_impl& operator=(const socket_impl&) = delete;

    void set_close_callback(close_callback _callback) override;
    void set_receive_callback(receive_callback _callback) override;
    endpoint get_remote_endpoint() const override;
    void set_can_send_callback(can_send_callback _callback) override;
    void notify_that_send_is_possible() override;
    std::size_t send_some(message _message) override;

private:
    // State shared with the pending read and writability wait, which may
    // complete after the socket object has gone; the callbacks live here so
    // that one may destroy the socket while it runs.
    struct shared_data {
        std::vector<char> m_buffer = std::vector<char>(receive_buffer_size);
        bool m_socket_alive = true;
        bool m_waiting_in_progress = false;
        receive_callback m_receive_callback;
        close_callback m_close_callback;
        can_send_callback m_can_send_callback;
    };

    // Queues one read; its completion delivers the chunk and queues the next.
    void setup_receive();

    boost::asio::ip::tcp::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace orq::libs::core::tcp
