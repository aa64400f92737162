#pragma once

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>

#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <csignal>
#include <thread>

namespace orq::libs::core {

// Waits for SIGINT and SIGTERM on a thread of its own that runs a private
// loop, so that the main loop's thread never runs signal code. The first of
// them stops the main loop; the wait is not renewed, and once the thread has
// left its body the two signals have their default disposition again (unless
// another handle still holds them).
class signals_handle_impl final : public events_loop::signals_handle {
public:
    signals_handle_impl(core& _core, events_loop& _main_events_loop, const component_logger& _logger)
        : m_thread_events_loop(_core.create_events_loop("stop_on_signals")),
          m_main_events_loop(_main_events_loop),
          m_logger(_logger),
          m_thread([this] { thread_body(); }) {}

    // Must not run on the signal thread (it joins it). Does not stop the main loop.
    ~signals_handle_impl() override {
        m_thread_events_loop->stop();
        m_thread.join();
    }

    signals_handle_impl(const signals_handle_impl&) = delete;
    signals_handle_impl& operator=(const signals_handle_impl&) = delete;

    bool signal_is_received() const override { return m_signal_is_received.load(); }

private:
    // Nothing may leave this function: an exception on the thread would end
    // the process. A failure to register the signals leaves them with their
    // previous disposition and is logged; the main loop keeps running.
    void thread_body() noexcept {
        try {
            boost::asio::signal_set signals(m_thread_events_loop->get_io_context(), SIGINT, SIGTERM);
            signals.async_wait([this](const boost::system::error_code& _error, int /*_signal_number*/) {
                if (_error) {
                    return;
                }
                m_signal_is_received.store(true);
                m_main_events_loop.stop();
                m_thread_events_loop->stop();
            });
            m_thread_events_loop->run();
        } catch (...) {
            try {
                m_logger.error("stop_on_signals: signal thread failed");
                m_logger.log_exception(ORQ_SOURCE_LOCATION);
            } catch (...) {
            }
        }
    }

    events_loop::ptr m_thread_events_loop;
    events_loop& m_main_events_loop;
    const component_logger& m_logger;
    std::atomic<bool> m_signal_is_received{false};
    // Started last, once everything it uses exists.
    std::thread m_thread;
};

}  // namespace orq::libs::core
