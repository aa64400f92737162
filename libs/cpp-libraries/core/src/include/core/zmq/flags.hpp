#pragma once

#include <cstdint>

namespace orq::libs::core::zmq {

// Send flags, passed to ZeroMQ unchanged.
enum class flags : std::int32_t {
    none = 0,
    // More frames of the same message follow (ZMQ_SNDMORE).
    sndmore = 2,
};

}  // namespace orq::libs::core::zmq
