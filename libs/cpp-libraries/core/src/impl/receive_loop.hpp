#pragma once

#include <core/logger.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

#include <utility>

namespace orq::libs::core::detail {

// What the sockets' receive loops share: one operation is queued at a time,
// the loop ends for good at its first error, and the next operation is queued
// however the receive callback leaves.

// True when _error ends the loop. Cancellation (the socket closing or being
// destroyed) ends it silently; any other failure is logged with _location,
// the handler's, so that the loop does not end unnoticed.
inline bool receive_loop_ends(const boost::system::error_code& _error, const component_logger& _logger,
                              const source_location& _location) {
    if (!_error) {
        return false;
    }
    if (_error != boost::asio::error::operation_aborted) {
        _logger.log_error(_error, _location);
    }
    return true;
}

// Queues the next operation (_rearm) when the guard goes, whether the callback
// returned or threw, unless the callback destroyed the socket (_socket_alive
// false by then). _rearm runs while an exception may be unwinding, so what it
// throws is logged and contained. _socket_alive must outlive the guard.
template <typename Rearm>
core::scope_guard rearm_guard(const bool& _socket_alive, const component_logger& _logger, Rearm _rearm) {
    return make_scope_guard([&_socket_alive, &_logger, rearm = std::move(_rearm)] {
        if (_socket_alive) {
            _logger.execute(rearm);
        }
    });
}

}  // namespace orq::libs::core::detail
