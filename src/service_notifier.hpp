#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>

#include <chrono>
#include <functional>
#include <string>

namespace orq {

// The agent's side of the service manager's notification protocol
// (sd_notify(3)): readiness, a status line every few seconds, the watchdog's
// keep-alive pings and the start of the stop. Without NOTIFY_SOCKET in the
// environment it does nothing at all. Everything runs on the loop's thread,
// from timers of the loop: a loop that stops turning stops the pings, and the
// service manager restarts the process.
class service_notifier {
public:
    using status_function = std::function<std::string()>;

    // How often the status line is sent.
    static constexpr std::chrono::seconds status_period{2};

    // Reads NOTIFY_SOCKET and the watchdog's interval (WATCHDOG_USEC, for this
    // process). The loop and the logger must outlive the notifier; _status
    // gives the status line and is called on the loop's thread.
    service_notifier(libs::core::events_loop& _loop, libs::core::logger& _logger, status_function _status);
    service_notifier(const service_notifier&) = delete;
    service_notifier& operator=(const service_notifier&) = delete;

    // READY=1 with the first status line; starts the status timer and, when
    // the service manager asked for a watchdog, the pings at half its interval.
    void ready();
    // STOPPING=1; no more status lines or pings.
    void stopping();

private:
    // Sends the state; the first failure is logged as a warning, later ones
    // are not, so that a broken socket does not flood the log.
    void notify(const std::string& _state);

    libs::core::events_loop& m_loop;
    libs::core::logger& m_logger;
    status_function m_status;
    bool m_enabled = false;
    // Zero: no watchdog.
    std::chrono::microseconds m_watchdog_interval{0};
    bool m_notify_failed = false;
    libs::core::periodic_timer::ptr m_status_timer;
    libs::core::periodic_timer::ptr m_watchdog_timer;
};

}  // namespace orq
