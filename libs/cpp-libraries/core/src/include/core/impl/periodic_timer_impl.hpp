#pragma once

#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace orq::libs::core {

// A periodic timer made of one-shot timers from its manager: each expiry
// re-arms the underlying timer for the next point of the grid
// (previous expiry + k * period, the first one later than now) and then calls
// the user's callback with the expiry that was due.
class periodic_timer_impl final : public periodic_timer {
public:
    // Throws core::exception when the period is not positive.
    periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period, const std::string& _name,
                        timer::callback _callback, source_location _loc, bool _execute_now);
    ~periodic_timer_impl() override;

    periodic_timer_impl(const periodic_timer_impl&) = delete;
    periodic_timer_impl& operator=(const periodic_timer_impl&) = delete;

    void reset(std::chrono::nanoseconds _period) override;
    void stop() override;
    void restart() override;
    void expire_now() override;

    // The first point of the grid _expiry + k * _period (k >= 1) strictly later
    // than _now. _period must be positive.
    static timer::time_point next_time_point(timer::time_point _expiry, timer::time_point _now,
                                             std::chrono::nanoseconds _period);

private:
    void restart_impl();
    void on_expiry(timer::time_point _expiry);

    std::string m_name;
    timers_manager& m_timers_manager;
    // Empty while stopped.
    timer::ptr m_timer;
    std::chrono::nanoseconds m_period;
    // Owned by this object alone; the expiry function of each underlying timer
    // holds a weak reference, which tells it whether this object still exists.
    std::shared_ptr<timer::callback> m_callback;
};

}  // namespace orq::libs::core
