#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace orq::libs::core::tcp {

// A connected TCP socket in non-blocking mode. Received bytes go to the
// receive callback chunk by chunk (at most 65536 bytes each, views valid only
// during the call). The end of the connection goes to the close callback,
// once, and ends receiving: an orderly close by the peer, and also a reset or
// any other failed read (logged first) or a failed write of queued bytes
// (logged first). Sending never blocks: send_some writes what the kernel takes
// now; send keeps the rest and writes it as the connection takes more.
// notify_that_send_is_possible asks for one call of the can-send callback once
// more can be written. All callbacks run on the loop's thread, and any of them
// may destroy the socket; destroying the socket calls none of them.
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
    // Called after a wait asked for by notify_that_send_is_possible, and each
    // time the bytes queued by send have all been written.
    virtual void set_can_send_callback(can_send_callback _callback) = 0;
    // Waits for writability unless a wait is already pending; its completion
    // calls the can-send callback (if set) once. While bytes are queued, that
    // call comes once they have all been written.
    virtual void notify_that_send_is_possible() = 0;
    // The number of bytes the kernel took now (0 when it takes none, and
    // while bytes queued by send wait, so that the two never reorder). Errors
    // such as a reset connection throw boost::system::system_error.
    virtual std::size_t send_some(message _message) = 0;

    // Sends every byte, in order after those sent before: what the kernel does
    // not take now is copied into a queue and written as the connection takes
    // more. A failure of the immediate write throws
    // boost::system::system_error ("send: ..."); a later one is logged, drops
    // the queue and ends the connection (close callback). Destroying the
    // socket drops what is still queued: an owner that wants it delivered
    // waits for queued_bytes() to reach 0 (the can-send callback says when).
    virtual void send(message _message) = 0;
    // The bytes queued by send and not yet written.
    virtual std::size_t queued_bytes() const = 0;
    // The local address and port; throws boost::system::system_error
    // ("local_endpoint: ...") when the system cannot tell.
    virtual endpoint local_endpoint() const = 0;
};

}  // namespace orq::libs::core::tcp
