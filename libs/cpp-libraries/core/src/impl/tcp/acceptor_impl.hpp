#pragma once

#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/tcp/acceptor.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <memory>
#include <vector>

namespace orq::libs::core::tcp {

class acceptor_impl final : public acceptor {
public:
    // The kernel's own upper bound for a listen backlog.
    static constexpr int backlog = 4096;
    // How long accepting pauses after a shortage of descriptors or memory:
    // the connections waiting in the backlog keep the acceptor readable, so
    // trying again at once would only spin.
    static constexpr std::chrono::milliseconds retry_delay{100};

    // Opens, sets SO_REUSEADDR (a port still held by connections in TIME_WAIT
    // can be listened on again), binds and listens. A failed step throws
    // boost::system::system_error named after it and the endpoint: "open",
    // "set_option", "bind", "listen" ("bind 0.0.0.0:8080: Address already in
    // use"). Nothing is accepted before a callback is set.
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, endpoint _endpoint);
    // The unspecified address of the family (IPv4 for v4, IPv6 otherwise).
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                  unsigned short _port);
    // An IPv6 or IPv4 address literal.
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, boost::string_view _address,
                  unsigned short _port);
    ~acceptor_impl() override;
    acceptor_impl(const acceptor_impl&) = delete;
    acceptor_impl& operator=(const acceptor_impl&) = delete;

    void set_callback(callback _callback) override;
    endpoint local_endpoint() const override;

private:
    // Queues one accept; its completion hands the connection out and queues
    // the next.
    void setup_accept();
    // Accepting goes on after any failure: at once after a connection the
    // peer gave up on (ECONNABORTED, EPROTO), after retry_delay otherwise,
    // each kind of failure logged the first time.
    void accept_failed(const boost::system::error_code& _error);

    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
    boost::asio::ip::tcp::acceptor m_acceptor;
    callback m_callback;
    // Shared with the pending accept and the retry wait, which may complete
    // after this object has gone.
    std::shared_ptr<bool> m_acceptor_alive;
    boost::asio::steady_timer m_retry_timer;
    // errno values of failed accepts already logged: a lasting shortage is
    // reported once, not ten times a second.
    std::vector<int> m_reported_errors;
};

}  // namespace orq::libs::core::tcp
