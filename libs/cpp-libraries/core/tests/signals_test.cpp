// Signal handles with real signals sent to a real process (the probe program),
// and the life of a handle that never sees one.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "loop_test.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <thread>

using namespace orq::libs::core;
using namespace std::chrono_literals;
using orq::test::child_process;

namespace {

const std::string probe = ORQ_TEST_PROGRAM_DIR "/signals_probe";

std::string signal_name(int _signal) {
    return _signal == SIGINT ? "SIGINT" : _signal == SIGTERM ? "SIGTERM" : std::to_string(_signal);
}

bool disposition_is_default(int _signal) {
    struct sigaction current {};
    ::sigaction(_signal, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

// -------------------------------------------------- first signal stops the loop

class first_signal : public ::testing::TestWithParam<int> {};

// Catches: a signal that is not caught (the process dies), that does not stop
// the main loop, or that is not reported by signal_is_received(); SIGTERM
// treated differently from SIGINT.
TEST_P(first_signal, stops_the_main_loop_and_is_reported) {
    child_process child({probe, "stop"});
    ASSERT_TRUE(child.wait_stdout_contains("ready\n", 30s)) << child.stdout_text() << child.stderr_text();
    child.send_signal(GetParam());
    const auto status = child.wait_exit(30s);
    ASSERT_TRUE(status) << "the probe did not stop";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << child.stdout_text() << child.stderr_text();
    EXPECT_NE(child.stdout_text().find("received=1\n"), std::string::npos) << child.stdout_text();
}

INSTANTIATE_TEST_SUITE_P(signals, first_signal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& _info) { return signal_name(_info.param); });

// ------------------------------------------- default disposition comes back

class second_signal : public ::testing::TestWithParam<std::pair<int, int>> {};

// Catches: a handle that keeps catching after its first signal (the wait
// renewed, or the registrations left in place), so that a second SIGINT or
// SIGTERM could no longer end the process.
TEST_P(second_signal, ends_the_process_with_the_default_disposition) {
    const auto [first, second] = GetParam();
    child_process child({probe, "second"});
    ASSERT_TRUE(child.wait_stdout_contains("ready\n", 30s)) << child.stdout_text() << child.stderr_text();
    child.send_signal(first);
    ASSERT_TRUE(child.wait_stdout_contains("default\n", 30s)) << child.stdout_text() << child.stderr_text();
    EXPECT_NE(child.stdout_text().find("received=1\n"), std::string::npos);
    child.send_signal(second);
    const auto status = child.wait_exit(30s);
    ASSERT_TRUE(status) << "the second signal did not end the probe";
    ASSERT_TRUE(WIFSIGNALED(*status)) << child.stdout_text();
    EXPECT_EQ(WTERMSIG(*status), second);
}

INSTANTIATE_TEST_SUITE_P(signals, second_signal,
                         ::testing::Values(std::make_pair(SIGINT, SIGTERM), std::make_pair(SIGTERM, SIGINT)),
                         [](const auto& _info) {
                             return signal_name(_info.param.first) + "_then_" + signal_name(_info.param.second);
                         });

// --------------------------------------------------------- two handles at once

// Catches: one signal reaching only one of two handles (a set that steals the
// signal from another), or a handle stopping a loop other than its own.
TEST(signals_handles, one_signal_reaches_two_handles_and_stops_both_loops) {
    child_process child({probe, "two"});
    ASSERT_TRUE(child.wait_stdout_contains("ready\n", 30s)) << child.stdout_text() << child.stderr_text();
    child.send_signal(SIGTERM);
    const auto status = child.wait_exit(30s);
    ASSERT_TRUE(status) << "the probe did not stop";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_NE(child.stdout_text().find("received=1 1\n"), std::string::npos) << child.stdout_text();
}

// ------------------------------------------------- failure on the signal thread

// Catches: an exception escaping the signal thread (std::terminate, the probe
// dies by SIGABRT) when the signals cannot be registered, or such a failure
// going unreported.
TEST(signals_handles, a_registration_failure_is_logged_and_the_process_goes_on) {
    child_process child({probe, "no-fds"});
    const auto status = child.wait_exit(30s);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0)
                                    << child.stderr_text();
    EXPECT_EQ(WEXITSTATUS(*status), 0) << child.stdout_text() << child.stderr_text();
    EXPECT_NE(child.stdout_text().find("survived\n"), std::string::npos) << child.stdout_text();
    EXPECT_NE(child.stderr_text().find("signal thread failed"), std::string::npos) << child.stderr_text();
}

// ------------------------------------------------ a handle without a signal

class unsignalled_handle : public orq::test::loop_test {
protected:
    unsignalled_handle() : loop_test("signals-test") {}
};

// Catches: a destructor that hangs (the private loop not stopped, or a stop
// lost when it comes before the thread runs its loop), that stops the main
// loop, or a flag raised without a signal. No signal is sent to this process.
TEST_F(unsignalled_handle, destruction_is_prompt_and_leaves_the_main_loop_running) {
    const auto work = m_loop->create_work();
    std::promise<void> finished;
    std::thread main_thread([&] {
        run_bounded();
        finished.set_value();
    });

    auto handle = m_loop->stop_on_signals();
    ASSERT_TRUE(
        orq::test::wait_until([] { return !disposition_is_default(SIGINT) && !disposition_is_default(SIGTERM); }, 30s));
    EXPECT_FALSE(handle->signal_is_received());
    const auto start = std::chrono::steady_clock::now();
    handle.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(disposition_is_default(SIGINT));
    EXPECT_TRUE(disposition_is_default(SIGTERM));

    // The main loop still runs handlers.
    std::promise<void> handled;
    m_loop->post([&] { handled.set_value(); }, source_location());
    EXPECT_EQ(handled.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(m_loop->is_stopped());

    m_loop->stop();
    main_thread.join();
}

// Catches: a stop that is lost when the handle is destroyed before its thread
// has even started its loop (the destructor would then wait forever).
TEST_F(unsignalled_handle, destruction_right_after_creation_does_not_hang) {
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto handle = m_loop->stop_on_signals();
        handle.reset();
        ASSERT_LT(std::chrono::steady_clock::now() - start, 5s) << "iteration " << i;
    }
    EXPECT_FALSE(m_loop->is_stopped());
}

}  // namespace
