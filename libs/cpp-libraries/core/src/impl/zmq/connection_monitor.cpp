#include "connection_monitor.hpp"

#include <zmq.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace orq::libs::core::zmq::detail {

namespace {

std::string next_monitor_endpoint() {
    static std::atomic<unsigned long> counter{0};
    return "inproc://orq-connection-monitor-" + std::to_string(counter++);
}

}  // namespace

connection_monitor::connection_monitor(asio_socket& _watched, const component_logger& _logger, std::string _peer)
    : m_watched(_watched), m_events(_watched.get_io_context(), ZMQ_PAIR) {
    const std::string endpoint = next_monitor_endpoint();
    m_watched.monitor(endpoint, ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED);
    m_events.connect(endpoint);
    m_events.async_receive_each([pending = std::make_shared<pending_event>(), logger = &_logger,
                                 peer = std::move(_peer)](const boost::system::error_code& _error, message& _frame) {
        if (_error) {
            return;
        }
        if (!pending->m_endpoint_next) {
            std::uint16_t event = 0;
            if (_frame.size() >= sizeof event) {
                std::memcpy(&event, _frame.data(), sizeof event);
            }
            pending->m_event = event;
            pending->m_endpoint_next = _frame.more();
            return;
        }
        // The second frame, the endpoint, only ends the event.
        pending->m_endpoint_next = false;
        if (pending->m_event == ZMQ_EVENT_CONNECTED) {
            logger->info("Connected to %1%") % peer;
        } else if (pending->m_event == ZMQ_EVENT_DISCONNECTED) {
            logger->info("Connection to %1% lost") % peer;
        }
    });
}

connection_monitor::~connection_monitor() {
    try {
        m_watched.monitor(std::string(), 0);
    } catch (...) {
        // The watched socket is going too; its monitor goes with it.
    }
    m_events.close();
}

}  // namespace orq::libs::core::zmq::detail
