#pragma once

#include <boost/optional.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace orq::libs::core::zmq::detail {

// A TCP bind address whose port is "*" or "!", optionally followed by a range
// "[first-last]" in which either end may be left out.
struct dynamic_endpoint {
    static constexpr std::uint16_t default_first = 49152;
    static constexpr std::uint16_t default_last = 65535;

    // Everything up to and including the colon before the port.
    std::string prefix;
    // "!": start at a pseudo-random port of the range instead of its first one.
    bool random_start = false;
    std::uint16_t first = default_first;
    std::uint16_t last = default_last;

    std::string with_port(std::uint16_t _port) const { return prefix + std::to_string(_port); }
};

// The dynamic form of _endpoint, or none for any other endpoint (which is then
// bound as given). A dynamic port with a malformed range, port 0, a port above
// 65535 or first > last throws boost::system::system_error (EINVAL).
boost::optional<dynamic_endpoint> parse_dynamic_endpoint(const std::string& _endpoint);

// Tries every port of the range once, starting at _start and wrapping from the
// last port to the first, until _try_bind returns 0. _try_bind returns 0 on
// success or the error number. A port that is taken (EADDRINUSE, EACCES) moves
// on to the next; any other error ends the search at once.
// Returns 0 on success, otherwise the error of the last attempt.
int bind_dynamic(const dynamic_endpoint& _endpoint, std::uint16_t _start,
                 const std::function<int(const std::string&)>& _try_bind);

// The port where the search of _endpoint begins: its first port for "*", a
// pseudo-random port of the range for "!".
std::uint16_t start_port(const dynamic_endpoint& _endpoint);

}  // namespace orq::libs::core::zmq::detail
