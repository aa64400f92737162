#include "timers_manager_impl.hpp"

#include "timer_impl.hpp"

#include <core/exception.hpp>
#include <core/impl/periodic_timer_impl.hpp>

#include <string>
#include <utility>

namespace orq::libs::core {

// ------------------------------------------------------------ timers_manager

timers_manager_impl::timers_manager_impl(events_loop& _events_loop, const component_logger& _logger)
    : m_events_loop(_events_loop), m_logger(_logger) {}

timers_manager_impl::~timers_manager_impl() = default;

timer::time_point timers_manager_impl::current_time_point() const {
    return std::chrono::steady_clock::now();
}

timestamp timers_manager_impl::current_timestamp() const {
    return timestamp::now();
}

timer::ptr timers_manager_impl::create_timer(std::chrono::nanoseconds _duration, const std::string& _name,
                                             timer::callback _callback, source_location _loc) {
    return create_timer(current_time_point() + _duration, _name, std::move(_callback), _loc);
}

timer::ptr timers_manager_impl::create_timer(timer::time_point _time_point, const std::string& _name,
                                             timer::callback _callback, source_location _loc) {
    return std::make_unique<timer_impl>(m_events_loop.get_io_context(), _time_point, _name, std::move(_callback),
                                        m_logger, _loc);
}

periodic_timer::ptr timers_manager_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               const std::string& _name, timer::callback _callback,
                                                               source_location _loc) {
    return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback), _loc, false);
}

periodic_timer::ptr timers_manager_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                               periodic_timer::execute_now /*_tag*/,
                                                               const std::string& _name, timer::callback _callback,
                                                               source_location _loc) {
    return std::make_unique<periodic_timer_impl>(*this, _period, _name, std::move(_callback), _loc, true);
}

// ------------------------------------------------------------ periodic_timer

namespace {

void check_period(std::chrono::nanoseconds _period, const source_location& _location) {
    if (_period <= std::chrono::nanoseconds::zero()) {
        throw exception("periodic timer period must be positive, got " + std::to_string(_period.count()) + " ns",
                        _location);
    }
}

}  // namespace

periodic_timer_impl::periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period,
                                         const std::string& _name, timer::callback _callback, source_location _loc,
                                         bool _execute_now)
    : m_name(_name), m_timers_manager(_timers_manager), m_period(_period) {
    check_period(_period, _loc);
    m_callback = std::make_shared<timer::callback>(std::move(_callback));
    restart_impl();
    if (_execute_now) {
        m_timer->reset(m_timers_manager.current_time_point());
    }
}

periodic_timer_impl::~periodic_timer_impl() {
    // The callback goes first: an expiry that is already queued finds it gone.
    m_callback.reset();
    m_timer.reset();
}

void periodic_timer_impl::reset(std::chrono::nanoseconds _period) {
    check_period(_period, ORQ_SOURCE_LOCATION);
    m_period = _period;
    restart();
}

void periodic_timer_impl::stop() {
    m_timer.reset();
}

void periodic_timer_impl::restart() {
    restart_impl();
}

void periodic_timer_impl::expire_now() {
    if (m_timer) {
        m_timer->reset(m_timers_manager.current_time_point());
    }
}

timer::time_point periodic_timer_impl::next_time_point(timer::time_point _expiry, timer::time_point _now,
                                                       std::chrono::nanoseconds _period) {
    if (_now < _expiry) {
        return _expiry + _period;
    }
    return _expiry + _period * ((_now - _expiry) / _period + 1);
}

void periodic_timer_impl::restart_impl() {
    auto expiry = [weak_callback = std::weak_ptr<timer::callback>(m_callback), this](timer::time_point _expiry) {
        // Holding the callback keeps it alive even if it destroys this object.
        const auto callback = weak_callback.lock();
        if (!callback) {
            return;
        }
        on_expiry(_expiry);
        (*callback)(_expiry);
    };
    // The previous underlying timer, if any, is replaced only once the new one
    // exists; its pending expiry goes with it.
    m_timer = m_timers_manager.create_timer(m_timers_manager.current_time_point() + m_period, m_name, std::move(expiry),
                                            ORQ_SOURCE_LOCATION);
}

void periodic_timer_impl::on_expiry(timer::time_point _expiry) {
    if (m_timer) {
        m_timer->reset(next_time_point(_expiry, m_timers_manager.current_time_point(), m_period));
    }
}

}  // namespace orq::libs::core
