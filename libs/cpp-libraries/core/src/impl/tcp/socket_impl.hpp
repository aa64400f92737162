#pragma once

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/tcp/manager.hpp>
#include <core/tcp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::tcp {

class socket_impl final : public socket {
public:
    static constexpr std::size_t receive_buffer_size = 65536;
    // Bytes given to send are queued in chunks of about this size: small
    // sends are gathered, and one write takes several chunks at once.
    static constexpr std::size_t queue_chunk_size = 65536;

    // Connects synchronously to an address literal (IPv6 or IPv4, no name
    // resolution). Failures throw boost::system::system_error ("connect
    // <address>:<port>: ..." when the connection cannot be made).
    static socket::ptr connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                               boost::string_view _address, unsigned short _port);
    // Connects on the loop: the handle delivers the socket, or the error, on
    // _events_loop's thread; _timeout above zero gives up with timed_out.
    // Dropping the handle closes the attempt. A malformed literal throws here.
    static async_operation_handle<connect_result>::ptr connect_async(events_loop& _events_loop,
                                                                     boost::asio::io_context& _io_context,
                                                                     const component_logger& _logger,
                                                                     boost::string_view _address, unsigned short _port,
                                                                     std::chrono::nanoseconds _timeout);

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
    void send(message _message) override;
    std::size_t queued_bytes() const override;
    endpoint local_endpoint() const override;

private:
    // State shared with the pending read and writability wait, which may
    // complete after the socket object has gone; the callbacks live here so
    // that one may destroy the socket while it runs.
    struct shared_data {
        std::vector<char> m_buffer = std::vector<char>(receive_buffer_size);
        bool m_socket_alive = true;
        // A writability wait is pending (for the queue, for a can-send call,
        // or both: there is never more than one).
        bool m_waiting_in_progress = false;
        // notify_that_send_is_possible asked for a can-send call.
        bool m_can_send_requested = false;
        // The close callback has had its one call.
        bool m_end_reported = false;
        receive_callback m_receive_callback;
        close_callback m_close_callback;
        can_send_callback m_can_send_callback;
        // What send could not write yet, in order; m_queue_offset bytes of
        // the front chunk are written already.
        std::deque<std::string> m_queue;
        std::size_t m_queue_offset = 0;
        std::size_t m_queued_bytes = 0;
    };

    // Queues one read; its completion delivers the chunk and queues the next.
    void setup_receive();
    // Waits for writability unless a wait is pending.
    void setup_write_wait();
    // The socket is writable: writes the queue, then calls the can-send
    // callback when the queue has drained or a call was asked for.
    void write_ready(shared_data& _data);
    // One non-blocking send: the bytes the kernel took, 0 when it takes none;
    // other failures throw, named _step.
    std::size_t write_some(message _message, const char* _step);
    // Writes from the queue until it is empty, the kernel takes no more, or
    // max_writes_per_wakeup writes are done; 0, or the errno of a failed write.
    int write_queue(shared_data& _data);
    static void enqueue(shared_data& _data, message _message);
    // Calls the close callback unless it has been called already.
    static void report_end(shared_data& _data);

    boost::asio::ip::tcp::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace orq::libs::core::tcp
