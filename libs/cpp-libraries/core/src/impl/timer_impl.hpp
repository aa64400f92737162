#pragma once

#include <core/logger.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace orq::libs::core {

class timer_impl final : public timer {
public:
    // Armed for _time_point at once. The name and location identify the timer
    // to its creator and are not kept.
    timer_impl(boost::asio::io_context& _io_context, time_point _time_point, const std::string& _name,
               callback _callback, const component_logger& _logger, source_location _loc);
    ~timer_impl() override;

    timer_impl(const timer_impl&) = delete;
    timer_impl& operator=(const timer_impl&) = delete;

    bool is_waiting() const override;
    void reset(time_point _time_point) override;
    void stop() override;

private:
    // Owned by the timer alone; wait handlers hold weak references, so a
    // handler that runs after the timer is gone finds nothing to call.
    struct shared_data {
        callback m_callback;
        bool m_waiting = false;
        // Counts armings and disarmings. A wait handler acts only when the
        // arming it belongs to is still the current one: a stale completion
        // (superseded, stopped, or already queued when the timer was re-armed,
        // even for the same time point) neither calls back nor touches
        // m_waiting.
        std::uint64_t m_arming = 0;
    };

    void stop_impl();
    void reset_impl(time_point _time_point);

    boost::asio::steady_timer m_timer;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

}  // namespace orq::libs::core
