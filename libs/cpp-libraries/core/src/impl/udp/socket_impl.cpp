#include "socket_impl.hpp"

#include "../ip_literal.hpp"
#include "../receive_loop.hpp"
#include "../socket_error.hpp"

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/buffer.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace orq::libs::core::udp {

namespace {

socket::endpoint unspecified_endpoint(ip_protocol _protocol, int _port) {
    const unsigned short port = detail::checked_port(_port);
    if (_protocol == ip_protocol::v4) {
        return socket::endpoint(boost::asio::ip::address_v4::any(), port);
    }
    return socket::endpoint(boost::asio::ip::address_v6::any(), port);
}

// The sender as the kernel wrote it into the name buffer.
socket::endpoint sender_endpoint(const sockaddr_storage& _name) {
    if (_name.ss_family == AF_INET6) {
        sockaddr_in6 name{};
        std::memcpy(&name, &_name, sizeof name);
        boost::asio::ip::address_v6::bytes_type bytes{};
        std::memcpy(bytes.data(), name.sin6_addr.s6_addr, bytes.size());
        return socket::endpoint(boost::asio::ip::address_v6(bytes, name.sin6_scope_id), ntohs(name.sin6_port));
    }
    if (_name.ss_family == AF_INET) {
        sockaddr_in name{};
        std::memcpy(&name, &_name, sizeof name);
        return socket::endpoint(boost::asio::ip::address_v4(ntohl(name.sin_addr.s_addr)), ntohs(name.sin_port));
    }
    return socket::endpoint();
}

// The address of the interface that received the datagram (ipi_spec_dst, not
// the header's destination, which for a broadcast is the broadcast address);
// 0.0.0.0 without IPv4 packet information.
boost::asio::ip::address_v4 local_address(msghdr& _header) {
    for (cmsghdr* entry = CMSG_FIRSTHDR(&_header); entry != nullptr; entry = CMSG_NXTHDR(&_header, entry)) {
        if (entry->cmsg_level == IPPROTO_IP && entry->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(entry), sizeof info);
            return boost::asio::ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
        }
    }
    return boost::asio::ip::address_v4();
}

}  // namespace

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, endpoint _endpoint)
    : m_socket(_io_context), m_logger(_logger) {
    boost::system::error_code error;
    m_socket.open(_endpoint.protocol(), error);
    if (error) {
        throw detail::socket_error(error, "open " + detail::endpoint_text(_endpoint));
    }
    m_socket.bind(_endpoint, error);
    if (error) {
        throw detail::socket_error(error, "bind " + detail::endpoint_text(_endpoint));
    }
    m_data = std::make_shared<shared_data>();
    // Also honoured by an IPv6 socket for the IPv4 datagrams it receives.
    const int on = 1;
    ::setsockopt(m_socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                         int _port)
    : socket_impl(_io_context, _logger, unspecified_endpoint(_protocol, _port)) {}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const std::string& _address, int _port)
    : socket_impl(_io_context, _logger, endpoint(detail::parse_ip_literal(_address), detail::checked_port(_port))) {}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    m_callback = nullptr;
    // Completes a pending wait with operation_aborted; it returns at once.
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void socket_impl::set_receive_callback(callback _callback) {
    if (!_callback) {
        // Would throw at every datagram inside the loop, and a second call
        // could not tell it from "never set" and would start a second wait.
        throw exception("udp::socket_impl::set_receive_callback: empty callback", ORQ_SOURCE_LOCATION);
    }
    if (!m_callback) {
        setup_receive();
    }
    m_callback = std::move(_callback);
}

void socket_impl::send_to(const endpoint& _destination, const message& _message) {
    boost::system::error_code error;
    m_socket.send_to(boost::asio::buffer(_message.data(), _message.size()), _destination, 0, error);
    if (error) {
        throw detail::socket_error(error, "send_to " + detail::endpoint_text(_destination));
    }
}

void socket_impl::send_to(const boost::string_view& _address, int _port, const message& _message) {
    send_to(make_endpoint(_address, _port), _message);
}

socket::endpoint socket_impl::make_endpoint(const boost::string_view& _address, int _port) const {
    return endpoint(detail::parse_ip_literal(_address), detail::checked_port(_port));
}

socket::endpoint socket_impl::local_endpoint() const {
    boost::system::error_code error;
    const endpoint local = m_socket.local_endpoint(error);
    detail::throw_on_error(error, "local_endpoint");
    return local;
}

void socket_impl::setup_receive() {
    m_socket.async_wait(
        boost::asio::socket_base::wait_read, [data = m_data, self = this](const boost::system::error_code& _error) {
            if (!data->m_socket_alive) {
                return;
            }
            if (detail::receive_loop_ends(_error, self->m_logger, ORQ_SOURCE_LOCATION)) {
                return;
            }
            const scope_guard next =
                detail::rearm_guard(data->m_socket_alive, self->m_logger, [self] { self->setup_receive(); });
            self->receive_ready(*data);
        });
}

void socket_impl::receive_ready(shared_data& _data) {
    for (int count = 0; count < max_datagrams_per_wakeup;) {
        sockaddr_storage sender{};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec payload{_data.m_buffer.data(), _data.m_buffer.size()};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &payload;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        // Never blocks the loop: a datagram reported ready may be gone (a bad
        // checksum is only found on reading).
        const ssize_t length = ::recvmsg(m_socket.native_handle(), &header, MSG_DONTWAIT);
        if (length < 0) {
            const int failure = errno;
            if (failure == EINTR) {
                continue;
            }
            if (failure != EAGAIN && failure != EWOULDBLOCK) {
                report_read_error(_data, failure);
            }
            return;
        }
        ++count;
        // A copy: the callback may replace itself, or destroy this socket.
        const callback receive = m_callback;
        receive(sender_endpoint(sender), local_address(header),
                message(_data.m_buffer.data(), static_cast<std::size_t>(length)));
        if (!_data.m_socket_alive) {
            return;
        }
    }
}

void socket_impl::report_read_error(shared_data& _data, int _errno) {
    auto& reported = _data.m_reported_read_errors;
    if (std::find(reported.begin(), reported.end(), _errno) != reported.end()) {
        return;
    }
    reported.push_back(_errno);
    m_logger.log_error(boost::system::error_code(_errno, boost::system::system_category()), ORQ_SOURCE_LOCATION);
}

}  // namespace orq::libs::core::udp
