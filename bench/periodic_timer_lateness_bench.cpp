// Lateness of a periodic timer at a 1 ms period: how long after its expiry
// each callback starts, on an otherwise idle loop.
//
//   periodic_timer_lateness_bench [duration in seconds, default 10]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;

namespace {

double microseconds(std::chrono::nanoseconds _value) {
    return static_cast<double>(_value.count()) / 1000.0;
}

std::chrono::nanoseconds percentile(const std::vector<std::chrono::nanoseconds>& _sorted, double _fraction) {
    const auto index = static_cast<std::size_t>(_fraction * static_cast<double>(_sorted.size() - 1) + 0.5);
    return _sorted[std::min(index, _sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: periodic_timer_lateness_bench [duration in seconds]\n");
        return 2;
    }
    constexpr auto period = 1ms;
    const auto duration = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));

    logger log("periodic-timer-lateness-bench", "main");
    auto core = core::create(log);
    auto loop = core->create_events_loop("bench");
    auto& timers = loop->get_timers();

    std::vector<std::chrono::nanoseconds> lateness;
    lateness.reserve(static_cast<std::size_t>(duration / period) + 16);
    timer::time_point first{};
    timer::time_point last{};
    const auto end = timers.current_time_point() + duration;
    auto periodic = loop->create_periodic_timer(
        period, "bench",
        [&](timer::time_point _expiry) {
            const auto now = timers.current_time_point();
            lateness.push_back(now - _expiry);
            if (first == timer::time_point{}) {
                first = _expiry;
            }
            last = _expiry;
            if (now >= end) {
                loop->stop();
            }
        },
        ORQ_SOURCE_LOCATION);
    loop->run();
    periodic.reset();

    if (lateness.empty()) {
        std::fprintf(stderr, "no callback ran\n");
        return 1;
    }
    const long expected = (last - first) / period + 1;
    std::sort(lateness.begin(), lateness.end());
    std::printf("periodic timer, period 1 ms, %.1f s: %zu callbacks, %ld periods skipped\n", seconds, lateness.size(),
                expected - static_cast<long>(lateness.size()));
    std::printf("lateness  p50 %8.1f us   p99 %8.1f us   p99.9 %8.1f us   max %8.1f us\n",
                microseconds(percentile(lateness, 0.50)), microseconds(percentile(lateness, 0.99)),
                microseconds(percentile(lateness, 0.999)), microseconds(lateness.back()));
    return 0;
}
