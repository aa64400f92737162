#include "socket_impl.hpp"

#include "../ip_literal.hpp"
#include "../receive_loop.hpp"
#include "../socket_error.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace orq::libs::core::tcp {

namespace {

// Chunks of the queue written by one sendmsg.
constexpr std::size_t max_chunks_per_write = 16;
// Writes from the queue per writability report, so that a peer that reads as
// fast as we write cannot keep the loop's other handlers waiting.
constexpr int max_writes_per_wakeup = 16;

// One connection attempt of connect_async. The handle owns it (through its
// start function), the pending connect and time-out only see it: dropping the
// handle destroys it, which closes the socket and cancels both.
struct connect_attempt {
    explicit connect_attempt(boost::asio::io_context& _io_context) : m_socket(_io_context), m_deadline(_io_context) {}

    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_deadline;
    bool m_timed_out = false;
    bool m_finished = false;
};

}  // namespace

socket::ptr socket_impl::connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                                 boost::string_view _address, unsigned short _port) {
    const endpoint peer(detail::parse_ip_literal(_address), _port);
    boost::asio::ip::tcp::socket connection(_io_context);
    boost::system::error_code error;
    // Opens the socket too; either failure is the connect's.
    connection.connect(peer, error);
    detail::throw_on_error(error, "connect " + detail::endpoint_text(peer));
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(connection));
}

async_operation_handle<connect_result>::ptr socket_impl::connect_async(
    events_loop& _events_loop, boost::asio::io_context& _io_context, const component_logger& _logger,
    boost::string_view _address, unsigned short _port, std::chrono::nanoseconds _timeout) {
    using handle = async_operation_handle_impl<connect_result>;
    const endpoint peer(detail::parse_ip_literal(_address), _port);
    // The attempt in progress; a restart replaces (and so abandons) it.
    auto current = std::make_shared<std::shared_ptr<connect_attempt>>();
    const auto start = [&_io_context, &_logger, peer, _timeout, current](const handle::ptr& /*_strong*/,
                                                                         std::weak_ptr<handle> _weak) {
        *current = std::make_shared<connect_attempt>(_io_context);
        connect_attempt& attempt = **current;
        const std::weak_ptr<connect_attempt> weak_attempt = *current;
        if (_timeout > std::chrono::nanoseconds::zero()) {
            attempt.m_deadline.expires_after(_timeout);
            attempt.m_deadline.async_wait([weak_attempt](const boost::system::error_code& _error) {
                const auto attempt = weak_attempt.lock();
                if (_error || !attempt || attempt->m_finished) {
                    return;
                }
                // The connect completes with operation_aborted.
                attempt->m_timed_out = true;
                boost::system::error_code ignored;
                attempt->m_socket.close(ignored);
            });
        }
        // Opens the socket too; an open that fails completes the connect
        // with its error.
        attempt.m_socket.async_connect(peer, [weak_attempt, weak_handle = std::move(_weak), &_io_context,
                                              &_logger](const boost::system::error_code& _error) {
            const auto attempt = weak_attempt.lock();
            const auto self = weak_handle.lock();
            if (!attempt || !self) {
                return;  // abandoned
            }
            attempt->m_finished = true;
            attempt->m_deadline.cancel();
            connect_result result;
            result.error = attempt->m_timed_out ? boost::system::error_code(boost::asio::error::timed_out)
                                                : detail::without_location(_error);
            if (!result.error) {
                try {
                    result.socket = std::make_unique<socket_impl>(_io_context, _logger, std::move(attempt->m_socket));
                } catch (const boost::system::system_error& e) {
                    result.error = e.code();
                }
            }
            // A failed attempt keeps no descriptor while its handle is kept.
            boost::system::error_code ignored;
            attempt->m_socket.close(ignored);
            self->return_result(std::move(result));
        });
    };
    const handle::ptr operation = handle::create(_events_loop, start);
    operation->start();
    return operation;
}

socket_impl::socket_impl(boost::asio::io_context& /*_io_context*/, const component_logger& _logger,
                         boost::asio::ip::tcp::socket _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    boost::system::error_code error;
    m_socket.non_blocking(true, error);
    detail::throw_on_error(error, "non_blocking");
}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    // Completes a pending read or wait with operation_aborted; they return at
    // once and call nothing.
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void socket_impl::set_close_callback(close_callback _callback) {
    m_data->m_close_callback = std::move(_callback);
}

void socket_impl::set_receive_callback(receive_callback _callback) {
    if (!_callback) {
        // Would throw at every chunk inside the loop, and a second call could
        // not tell it from "never set" and would queue a second read.
        throw exception("tcp::socket_impl::set_receive_callback: empty callback", ORQ_SOURCE_LOCATION);
    }
    if (!m_data->m_receive_callback) {
        setup_receive();
    }
    m_data->m_receive_callback = std::move(_callback);
}

socket::endpoint socket_impl::get_remote_endpoint() const {
    boost::system::error_code error;
    const endpoint remote = m_socket.remote_endpoint(error);
    detail::throw_on_error(error, "remote_endpoint");
    return remote;
}

socket::endpoint socket_impl::local_endpoint() const {
    boost::system::error_code error;
    const endpoint local = m_socket.local_endpoint(error);
    detail::throw_on_error(error, "local_endpoint");
    return local;
}

void socket_impl::set_can_send_callback(can_send_callback _callback) {
    m_data->m_can_send_callback = std::move(_callback);
}

void socket_impl::notify_that_send_is_possible() {
    m_data->m_can_send_requested = true;
    setup_write_wait();
}

std::size_t socket_impl::send_some(message _message) {
    if (m_data->m_queued_bytes > 0) {
        return 0;  // the queue goes first
    }
    return write_some(_message, "send_some");
}

void socket_impl::send(message _message) {
    if (_message.empty()) {
        return;
    }
    if (m_data->m_queued_bytes == 0) {
        _message.remove_prefix(write_some(_message, "send"));
        if (_message.empty()) {
            return;
        }
    }
    enqueue(*m_data, _message);
    setup_write_wait();
}

std::size_t socket_impl::queued_bytes() const {
    return m_data->m_queued_bytes;
}

std::size_t socket_impl::write_some(message _message, const char* _step) {
    if (_message.empty()) {
        return 0;
    }
    for (;;) {
        // MSG_NOSIGNAL: a broken connection is an error here, not SIGPIPE.
        const ssize_t sent = ::send(m_socket.native_handle(), _message.data(), _message.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent);
        }
        const int failure = errno;
        if (failure == EINTR) {
            continue;
        }
        if (failure == EAGAIN || failure == EWOULDBLOCK) {
            return 0;
        }
        throw detail::socket_error(boost::system::error_code(failure, boost::system::system_category()), _step);
    }
}

void socket_impl::enqueue(shared_data& _data, message _message) {
    _data.m_queued_bytes += _message.size();
    if (!_data.m_queue.empty() && _data.m_queue.back().size() < queue_chunk_size) {
        std::string& last = _data.m_queue.back();
        const std::size_t part = std::min(_message.size(), queue_chunk_size - last.size());
        last.append(_message.data(), part);
        _message.remove_prefix(part);
    }
    while (!_message.empty()) {
        const std::size_t part = std::min(_message.size(), queue_chunk_size);
        _data.m_queue.emplace_back(_message.data(), part);
        _message.remove_prefix(part);
    }
}

int socket_impl::write_queue(shared_data& _data) {
    for (int writes = 0; writes < max_writes_per_wakeup && !_data.m_queue.empty(); ++writes) {
        iovec parts[max_chunks_per_write];
        std::size_t count = 0;
        for (auto chunk = _data.m_queue.begin(); chunk != _data.m_queue.end() && count < max_chunks_per_write;
             ++chunk, ++count) {
            const std::size_t skip = count == 0 ? _data.m_queue_offset : 0;
            parts[count].iov_base = chunk->data() + skip;
            parts[count].iov_len = chunk->size() - skip;
        }
        msghdr header{};
        header.msg_iov = parts;
        header.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(m_socket.native_handle(), &header, MSG_NOSIGNAL);
        if (sent < 0) {
            const int failure = errno;
            if (failure == EINTR) {
                continue;
            }
            return failure == EAGAIN || failure == EWOULDBLOCK ? 0 : failure;
        }
        if (sent == 0) {
            return 0;
        }
        _data.m_queued_bytes -= static_cast<std::size_t>(sent);
        std::size_t left = static_cast<std::size_t>(sent);
        while (left > 0) {
            const std::size_t rest = _data.m_queue.front().size() - _data.m_queue_offset;
            if (left < rest) {
                _data.m_queue_offset += left;
                break;
            }
            left -= rest;
            _data.m_queue.pop_front();
            _data.m_queue_offset = 0;
        }
    }
    return 0;
}

void socket_impl::setup_write_wait() {
    if (m_data->m_waiting_in_progress) {
        return;
    }
    m_data->m_waiting_in_progress = true;
    m_socket.async_wait(boost::asio::socket_base::wait_write,
                        [data = m_data, self = this](const boost::system::error_code& _error) {
                            if (!data->m_socket_alive) {
                                return;
                            }
                            data->m_waiting_in_progress = false;
                            if (_error) {
                                throw boost::system::system_error(_error, "wait for writability");
                            }
                            self->write_ready(*data);
                        });
}

void socket_impl::write_ready(shared_data& _data) {
    const bool was_queued = _data.m_queued_bytes > 0;
    if (was_queued) {
        const int failure = write_queue(_data);
        if (failure != 0) {
            // The connection is broken: what waits can never be delivered.
            _data.m_queue.clear();
            _data.m_queue_offset = 0;
            _data.m_queued_bytes = 0;
            _data.m_can_send_requested = false;
            if (!_data.m_end_reported) {
                m_logger.log_error(boost::system::error_code(failure, boost::system::system_category()),
                                   ORQ_SOURCE_LOCATION);
            }
            report_end(_data);
            return;
        }
        if (_data.m_queued_bytes > 0) {
            setup_write_wait();
            return;
        }
    }
    if (!was_queued && !_data.m_can_send_requested) {
        return;
    }
    _data.m_can_send_requested = false;
    if (_data.m_can_send_callback) {
        // A copy: the callback may replace itself, or destroy the socket.
        const can_send_callback can_send = _data.m_can_send_callback;
        can_send();
    }
}

void socket_impl::report_end(shared_data& _data) {
    if (_data.m_end_reported) {
        return;
    }
    _data.m_end_reported = true;
    if (_data.m_close_callback) {
        // A copy: the callback may destroy the socket, and the callback with it.
        const close_callback on_close = _data.m_close_callback;
        on_close();
    }
}

void socket_impl::setup_receive() {
    m_socket.async_read_some(
        boost::asio::buffer(m_data->m_buffer),
        [data = m_data, self = this](const boost::system::error_code& _error, std::size_t _length) {
            if (!data->m_socket_alive) {
                return;
            }
            if (_error) {
                // Receiving ends here. Closing or destroying the socket is no
                // end of the connection; an orderly close, a reset or any
                // other failure is, reported once (after a failure is logged,
                // unless a failed write reported the end already).
                if (_error == boost::asio::error::operation_aborted) {
                    return;
                }
                if (_error != boost::asio::error::eof && !data->m_end_reported) {
                    self->m_logger.log_error(_error, ORQ_SOURCE_LOCATION);
                }
                report_end(*data);
                return;
            }
            const scope_guard next =
                detail::rearm_guard(data->m_socket_alive, self->m_logger, [self] { self->setup_receive(); });
            // A copy: the callback may replace itself while it runs.
            const receive_callback receive = data->m_receive_callback;
            receive(boost::string_view(data->m_buffer.data(), _length));
        });
}

}  // namespace orq::libs::core::tcp
