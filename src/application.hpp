#pragma once

#include "config.hpp"

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>

#include <boost/utility/string_view.hpp>

#include <fstream>
#include <set>

namespace orq {

// The broker tap: subscribes to the broker's output and writes every frame it
// receives, followed by a newline, to the output file or to standard output,
// flushing each line so that an observer sees it at once.
class application {
public:
    // The loop must outlive the application; the signals handle is not used.
    application(libs::core::events_loop& _loop, libs::core::events_loop::signals_handle& _signals,
                const config& _config, libs::core::logger& _logger);

private:
    void write(boost::string_view _message);

    libs::core::logger& m_logger;
    libs::core::message_stream::ptr m_message_stream_raw;
    std::set<libs::core::message_stream::subscription::ptr> m_subscriptions;
    std::ofstream m_output_file;
    // True while writes fail: the failure is logged once, not per message.
    bool m_output_failing = false;
};

}  // namespace orq
