#include "application.hpp"

#include <core/exception.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace orq {

namespace {

// A bare port ("7001") means a TCP endpoint on the local host.
std::string complete_address(const std::string& _address) {
    if (_address.find(':') == std::string::npos) {
        return "tcp://localhost:" + _address;
    }
    return _address;
}

}  // namespace

application::application(libs::core::events_loop& _loop, libs::core::events_loop::signals_handle& /*_signals*/,
                         const config& _config, libs::core::logger& _logger)
    : m_logger(_logger) {
    const auto scope = m_logger.enter_function(ORQ_SOURCE_LOCATION);

    if (_config.broker.output_file) {
        const auto& path = *_config.broker.output_file;
        m_output_file.open(path, std::ios::out | std::ios::app | std::ios::binary);
        if (m_output_file.fail()) {
            throw libs::core::exception("Cannot open the file: " + path, ORQ_SOURCE_LOCATION);
        }
    }

    m_message_stream_raw = _loop.create_zmq_raw_message_stream(complete_address(_config.broker.output_address));

    auto writer = [this](boost::string_view _message) { write(_message); };
    if (_config.broker.subscriptions.empty()) {
        m_subscriptions.insert(m_message_stream_raw->subscribe("", writer));
    } else {
        for (const auto& topic : _config.broker.subscriptions) {
            m_subscriptions.insert(m_message_stream_raw->subscribe(topic, writer));
        }
    }
}

void application::write(boost::string_view _message) {
    std::ostream& out = m_output_file.is_open() ? static_cast<std::ostream&>(m_output_file) : std::cout;
    out.write(_message.data(), static_cast<std::streamsize>(_message.size()));
    out.put('\n');
    out.flush();
    const int error = errno;
    if (!out) {
        // A stream that failed stays failed and would drop every later message
        // even after the fault clears (disk space freed): clear it and go on.
        if (!m_output_failing) {
            m_output_failing = true;
            m_logger.error("Cannot write to the output (%1%); messages are lost until writing succeeds again") %
                std::strerror(error);
        }
        out.clear();
    } else if (m_output_failing) {
        m_output_failing = false;
        m_logger.info("Writing to the output succeeds again");
    }
}

}  // namespace orq
