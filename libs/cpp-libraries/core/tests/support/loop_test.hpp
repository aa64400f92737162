#pragma once

// The fixture of the tests that run the library's main loop.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "syslog_listener.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <string>

namespace orq::test {

// A private syslog, a logger of the module, the library and its main loop.
class loop_test : public ::testing::Test {
protected:
    explicit loop_test(const std::string& _module) : m_logger(_module, "main") {}

    // Runs the main loop on this thread, bounded by loop_bound.
    void run_bounded() { orq::test::run_bounded(*m_loop); }

    // First: it needs a process without threads yet.
    syslog_listener m_syslog;
    libs::core::logger m_logger;
    libs::core::core::ptr m_core = libs::core::core::create(m_logger);
    libs::core::events_loop::ptr m_loop = m_core->create_events_loop("main loop");
};

}  // namespace orq::test
