#pragma once

#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timestamp.hpp>

#include <chrono>
#include <string>

namespace orq::libs::core {

// Factory of the timers of one event loop; their callbacks run on that loop's
// thread. Names and source locations identify a timer to its creator only.
class timers_manager {
public:
    virtual ~timers_manager() = default;

    // The steady clock; callable from any thread.
    virtual timer::time_point current_time_point() const = 0;
    // The real-time clock truncated to whole milliseconds; any thread.
    virtual timestamp current_timestamp() const = 0;

    virtual timer::ptr create_timer(std::chrono::nanoseconds _duration, const std::string& _name,
                                    timer::callback _callback, source_location _loc) = 0;
    // Armed at once; a time point in the past expires as soon as the loop runs.
    virtual timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                                    source_location _loc) = 0;
    // The period must be positive; otherwise core::exception is thrown.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                      timer::callback _callback, source_location _loc) = 0;
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period,
                                                      periodic_timer::execute_now _tag, const std::string& _name,
                                                      timer::callback _callback, source_location _loc) = 0;
};

}  // namespace orq::libs::core
