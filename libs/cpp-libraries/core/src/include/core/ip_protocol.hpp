#pragma once

#include <cstdint>

namespace orq::libs::core {

// IP version of a socket. Where it selects an address family, v4 means IPv4
// and any other value IPv6.
enum class ip_protocol : std::int32_t {
    v4 = 0,
    v6 = 1,
};

}  // namespace orq::libs::core
