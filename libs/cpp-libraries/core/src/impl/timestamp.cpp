#include <core/timestamp.hpp>

#include <ctime>

namespace orq::libs::core {

timestamp timestamp::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t ms = static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    return timestamp{time_point(std::chrono::milliseconds(ms))};
}

}  // namespace orq::libs::core
