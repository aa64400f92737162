#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace orq::libs::core::tcp {

// A connected TCP socket in non-blocking mode. Received bytes go to the
// receive callback chunk by chunk (at most 65536 bytes each, views valid only
// during the call); an orderly close by the peer goes to the close callback,
// once, and ends receiving. Sending never blocks: send_some writes what the
// kernel takes now, and notify_that_send_is_possible asks for one call of the
// can-send callback once more can be written. All callbacks run on the loop's
// thread; destroying the socket calls none of them.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using endpoint = boost::asio::ip::tcp::endpoint;
    using message = boost::string_view;
    using receive_callback = std::function<void(boost::string_view)>;
    using close_callback = std::function<void()>;
    using can_send_callback = std::function<void()>;

    virtual ~socket() = default;

    virtual void set_close_callback(close_callback _callback) = 0;
    // The first call starts receiving; later calls only exchange the callback.
    virtual void set_receive_callback(receive_callback _callback) = 0;
    // Throws boost::system::system_error ("remote_endpoint: ...") once the
    // connection is gone.
    virtual endpoint get_remote_endpoint() const = 0;
    virtual void set_can_send_callback(can_send_callback _callback) = 0;
    // Waits for writability unless a wait is already pending; its completion
    // calls the can-send callback (if set) once.
    virtual void notify_that_send_is_possible() = 0;
    // The number of bytes the kernel took now (0 when it takes none). Errors
    // such as a reset connection throw boost::system::system_error.
    virtual std::size_t send_some(message _message) = 0;
};

}  // namespace orq::libs::core::tcp
