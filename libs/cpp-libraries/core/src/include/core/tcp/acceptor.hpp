#pragma once

#include <core/tcp/socket.hpp>

#include <functional>
#include <memory>

namespace orq::libs::core::tcp {

// A listening socket. Connections wait in the listen backlog until the first
// set_callback; from then on each accepted connection is handed to the
// callback on the loop's thread, in arrival order. Accepting goes on until the
// acceptor is destroyed: when the process or the system runs out of
// descriptors or memory, the acceptor logs the error (once per kind), waits
// 100 ms and tries again; connections the peer gave up on before they were
// accepted are skipped.
class acceptor {
public:
    using ptr = std::unique_ptr<acceptor>;
    using endpoint = socket::endpoint;
    // Takes ownership of the connection; a socket the callback drops is closed.
    using callback = std::function<void(socket::ptr)>;

    virtual ~acceptor() = default;

    // The first call starts accepting; later calls only exchange the callback.
    virtual void set_callback(callback _callback) = 0;
    // The address and port listened on (the port the system chose for port 0).
    virtual endpoint local_endpoint() const = 0;
};

}  // namespace orq::libs::core::tcp
