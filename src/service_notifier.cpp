#include "service_notifier.hpp"

#include <core/source_location.hpp>

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace orq {

service_notifier::service_notifier(libs::core::events_loop& _loop, libs::core::logger& _logger, status_function _status)
    : m_loop(_loop), m_logger(_logger), m_status(std::move(_status)) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_enabled = socket != nullptr && *socket != '\0';
    if (!m_enabled) {
        return;
    }
    std::uint64_t interval = 0;
    const int watchdog = sd_watchdog_enabled(0, &interval);
    if (watchdog < 0) {
        m_logger.warning("The service manager's watchdog settings are not understood (%1%); no watchdog pings") %
            std::strerror(-watchdog);
    } else if (watchdog > 0) {
        m_watchdog_interval = std::chrono::microseconds(interval);
    }
}

void service_notifier::ready() {
    if (!m_enabled) {
        return;
    }
    notify("READY=1\nSTATUS=" + m_status());
    m_status_timer = m_loop.create_periodic_timer(
        status_period, "service status", [this](auto) { notify("STATUS=" + m_status()); }, ORQ_SOURCE_LOCATION);
    if (m_watchdog_interval.count() > 0) {
        m_logger.debug("Watchdog pings every %1% us") % (m_watchdog_interval.count() / 2);
        m_watchdog_timer = m_loop.create_periodic_timer(
            m_watchdog_interval / 2, "watchdog", [this](auto) { notify("WATCHDOG=1"); }, ORQ_SOURCE_LOCATION);
    }
}

void service_notifier::stopping() {
    if (!m_enabled) {
        return;
    }
    m_status_timer.reset();
    m_watchdog_timer.reset();
    notify("STOPPING=1");
}

void service_notifier::notify(const std::string& _state) {
    const int result = sd_notify(0, _state.c_str());
    if (result < 0 && !m_notify_failed) {
        m_notify_failed = true;
        m_logger.warning("Cannot notify the service manager (%1%)") % std::strerror(-result);
    }
}

}  // namespace orq
