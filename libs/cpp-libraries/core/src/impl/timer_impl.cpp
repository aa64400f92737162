#include "timer_impl.hpp"

#include <boost/asio/error.hpp>

#include <utility>

namespace orq::libs::core {

timer_impl::timer_impl(boost::asio::io_context& _io_context, time_point _time_point, const std::string& /*_name*/,
                       callback _callback, const component_logger& _logger, source_location /*_loc*/)
    : m_timer(_io_context), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    m_data->m_callback = std::move(_callback);
    reset_impl(_time_point);
}

timer_impl::~timer_impl() {
    // The shared data goes first, so that no queued handler can reach the
    // callback; the member timer then cancels the pending wait.
    m_data.reset();
}

bool timer_impl::is_waiting() const {
    return m_data->m_waiting;
}

void timer_impl::reset(time_point _time_point) {
    reset_impl(_time_point);
}

void timer_impl::stop() {
    stop_impl();
}

void timer_impl::stop_impl() {
    m_data->m_waiting = false;
    ++m_data->m_arming;
    m_timer.cancel();
}

void timer_impl::reset_impl(time_point _time_point) {
    stop_impl();
    m_timer.expires_at(_time_point);
    const std::uint64_t arming = m_data->m_arming;
    m_timer.async_wait([logger = &m_logger, _time_point, arming,
                        weak_data = std::weak_ptr<shared_data>(m_data)](const boost::system::error_code& _error) {
        // The strong reference is held across the callback, so the callback
        // may stop, re-arm or destroy its own timer.
        const auto data = weak_data.lock();
        const bool current = data && data->m_arming == arming;
        if (current) {
            data->m_waiting = false;
        }
        if (_error == boost::asio::error::operation_aborted) {
            return;
        }
        if (_error) {
            logger->log_error(_error, ORQ_SOURCE_LOCATION);
            return;
        }
        if (current) {
            data->m_callback(_time_point);
        }
    });
    m_data->m_waiting = true;
}

}  // namespace orq::libs::core
