#pragma once

#include <chrono>

namespace orq::libs::core {

// A wall-clock point with millisecond resolution (milliseconds since the Unix
// epoch).
struct timestamp {
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

    time_point m_time_point;

    // The real-time clock, truncated to whole milliseconds.
    static timestamp now();
    std::int64_t milliseconds_since_epoch() const { return m_time_point.time_since_epoch().count(); }
};

}  // namespace orq::libs::core
