#pragma once

#include <core/tcp/socket.hpp>

#include <functional>
#include <memory>

namespace orq::libs::core::tcp {

// A listening socket. Connections wait in the listen backlog until the first
// set_callback; from then on each accepted connection is handed to the
// callback on the loop's thread, in arrival order.
class acceptor {
public:
    using ptr = std::unique_ptr<acceptor>;
    // Takes ownership of the connection; a socket the callback drops is closed.
    using callback = std::function<void(socket::ptr)>;

    virtual ~acceptor() = default;

    // The first call starts accepting; later calls only exchange the callback.
    virtual void set_callback(callback _callback) = 0;
};

}  // namespace orq::libs::core::tcp
