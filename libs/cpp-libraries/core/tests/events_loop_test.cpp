// The event loop with real threads: running and stopping, work objects, posts
// from several threads, exceptions out of handlers, and the drain that the
// destructor performs.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "loop_test.hpp"

#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;
using orq::test::loop_bound;

namespace {

class events_loop_test : public orq::test::loop_test {
protected:
    events_loop_test() : loop_test("events-loop-test") {}

    // Becomes ready once the loop executes handlers.
    std::future<void> running_signal(events_loop& _loop) {
        auto promise = std::make_shared<std::promise<void>>();
        auto future = promise->get_future();
        _loop.post([promise] { promise->set_value(); }, source_location());
        return future;
    }
};

// ---------------------------------------------------------------- run / stop

// Catches: run() blocking on an idle loop, or is_stopped() not reporting the
// out-of-work stop; and a stopped loop being restarted by run().
TEST_F(events_loop_test, run_without_work_returns_at_once_and_stays_stopped) {
    EXPECT_FALSE(m_loop->is_stopped());
    run_bounded();
    EXPECT_TRUE(m_loop->is_stopped());

    bool ran = false;
    m_loop->post([&] { ran = true; }, source_location());
    run_bounded();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(m_loop->is_stopped());
    // The destructor's drain still gets to it.
    m_loop.reset();
    EXPECT_TRUE(ran);
}

// Catches: stop() before run() being forgotten, or run() executing handlers
// that were queued before the stop.
TEST_F(events_loop_test, stop_before_run_makes_run_return_without_running_handlers) {
    bool ran = false;
    m_loop->post([&] { ran = true; }, source_location());
    m_loop->stop();
    run_bounded();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(m_loop->is_stopped());
    m_loop.reset();
    EXPECT_TRUE(ran);
}

// Catches: stop() from another thread not waking a run() that waits for work.
TEST_F(events_loop_test, stop_from_another_thread_ends_a_blocked_run) {
    const auto work = m_loop->create_work();
    auto running = running_signal(*m_loop);
    std::thread stopper([&] {
        running.wait();
        m_loop->stop();
    });
    run_bounded();
    stopper.join();
    EXPECT_TRUE(m_loop->is_stopped());
}

// Catches: stop() cutting a handler short, or run() going on with the queue
// after the handler that was executing when stop() came.
TEST_F(events_loop_test, stop_lets_the_current_handler_finish_and_leaves_the_rest_queued) {
    std::vector<int> order;
    m_loop->post(
        [&] {
            order.push_back(1);
            m_loop->stop();
            order.push_back(2);
        },
        source_location());
    m_loop->post([&] { order.push_back(3); }, source_location());
    run_bounded();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    m_loop.reset();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// Catches: a work object that does not keep run() alive, or whose release on
// another thread does not end run().
TEST_F(events_loop_test, work_keeps_run_alive_until_released_from_another_thread) {
    auto work = m_loop->create_work();
    auto running = running_signal(*m_loop);
    std::atomic<bool> released{false};
    std::thread releaser([&] {
        running.wait();
        // The loop is idle in run() now. The pause only gives a run() that
        // ignores the work object the time to return before the release
        // (making that fault visible); nothing waits on it.
        std::this_thread::sleep_for(20ms);
        released = true;
        work.reset();
    });
    run_bounded();
    releaser.join();
    EXPECT_TRUE(released);
    EXPECT_TRUE(m_loop->is_stopped());
}

// Catches: run() being serialised between threads (a lock around it, or a
// single-threaded io_context): two handlers must be able to run at once.
TEST_F(events_loop_test, several_threads_run_handlers_of_one_loop_at_once) {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    bool both_seen = false;
    const auto handler = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++inside;
        changed.notify_all();
        if (changed.wait_for(lock, loop_bound, [&] { return inside == 2; })) {
            both_seen = true;
        }
    };
    m_loop->post(handler, source_location());
    m_loop->post(handler, source_location());
    std::thread second([&] { run_bounded(); });
    run_bounded();
    second.join();
    EXPECT_TRUE(both_seen);
}

// ---------------------------------------------------------------------- post

// Catches: post running the handler inline on the posting thread.
TEST_F(events_loop_test, post_from_a_handler_runs_later_never_inside_post) {
    std::vector<int> order;
    m_loop->post(
        [&] {
            m_loop->post([&] { order.push_back(2); }, source_location());
            order.push_back(1);
        },
        source_location());
    run_bounded();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// Catches: lost, duplicated or reordered posts under contention, and handlers
// running on a thread other than the loop's.
TEST_F(events_loop_test, posts_from_several_threads_run_on_the_loop_thread_in_order_per_poster) {
    constexpr int posters = 4;
    constexpr int per_poster = 5000;
    auto work = m_loop->create_work();
    std::vector<std::vector<int>> seen(posters);
    std::atomic<bool> foreign_thread{false};
    const auto loop_thread = std::this_thread::get_id();
    int remaining = posters * per_poster;

    std::vector<std::thread> threads;
    for (int poster = 0; poster < posters; ++poster) {
        threads.emplace_back([&, poster] {
            for (int i = 0; i < per_poster; ++i) {
                m_loop->post(
                    [&, poster, i] {
                        if (std::this_thread::get_id() != loop_thread) {
                            foreign_thread = true;
                        }
                        seen[poster].push_back(i);
                        if (--remaining == 0) {
                            work.reset();
                        }
                    },
                    source_location());
            }
        });
    }
    run_bounded();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(foreign_thread);
    for (int poster = 0; poster < posters; ++poster) {
        ASSERT_EQ(seen[poster].size(), static_cast<std::size_t>(per_poster));
        for (int i = 0; i < per_poster; ++i) {
            ASSERT_EQ(seen[poster][i], i) << "poster " << poster;
        }
    }
}

// Catches: the two post overloads (function objects queued as they are, and
// ready-made std::function) feeding different queues or orders.
TEST_F(events_loop_test, lambdas_and_std_functions_share_one_queue_and_order) {
    std::vector<int> order;
    auto unique = std::make_unique<int>(2);
    m_loop->post([&] { order.push_back(1); }, source_location());
    // A move-only function object is accepted too.
    m_loop->post([&, unique = std::move(unique)] { order.push_back(*unique); }, source_location());
    const std::function<void()> third = [&] { order.push_back(3); };
    m_loop->post(third, source_location());
    m_loop->post(std::function<void()>([&] { order.push_back(4); }), source_location());
    m_loop->post([&] { order.push_back(5); }, source_location());
    run_bounded();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

// Catches: an empty function object being dropped silently or crashing the
// loop instead of surfacing as std::bad_function_call from run().
TEST_F(events_loop_test, an_empty_handler_throws_bad_function_call_out_of_run) {
    bool next_ran = false;
    m_loop->post(std::function<void()>(), source_location());
    m_loop->post([&] { next_ran = true; }, source_location());
    EXPECT_THROW(m_loop->run(), std::bad_function_call);
    EXPECT_FALSE(next_ran);
    run_bounded();
    EXPECT_TRUE(next_ran);
}

// -------------------------------------------------------------- exceptions

// Catches: a throwing handler stopping the loop or losing the queue.
TEST_F(events_loop_test, a_throwing_handler_propagates_and_run_again_continues_the_queue) {
    std::vector<int> order;
    m_loop->post([&] { order.push_back(1); }, source_location());
    m_loop->post([] { throw std::runtime_error("handler failed"); }, source_location());
    m_loop->post([&] { order.push_back(3); }, source_location());
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_FALSE(m_loop->is_stopped());
    EXPECT_EQ(order, (std::vector<int>{1}));
    run_bounded();
    EXPECT_EQ(order, (std::vector<int>{1, 3}));
}

// Catches: run_catch_exceptions returning after the first exception, not
// logging it, or swallowing exceptions that are not std::exception.
TEST_F(events_loop_test, run_catch_exceptions_logs_and_goes_on_with_the_next_handler) {
    std::vector<int> order;
    m_loop->post([] { throw std::runtime_error("first failure"); }, source_location());
    m_loop->post([&] { order.push_back(2); }, source_location());
    m_loop->post([] { throw 42; }, source_location());
    m_loop->post([&] { order.push_back(4); }, source_location());
    orq::test::run_bounded(*m_loop, [&] { m_loop->run_catch_exceptions(ORQ_SOURCE_LOCATION); });
    EXPECT_EQ(order, (std::vector<int>{2, 4}));
    EXPECT_TRUE(m_syslog.wait_for("std::exception::what(): first failure"));
    EXPECT_TRUE(m_syslog.wait_for("Unknown exception"));
    const auto caught = m_syslog.wait_for("Caught exeption");
    ASSERT_TRUE(caught);
    EXPECT_NE(caught->message.find("events_loop_test.cpp:"), std::string::npos) << caught->message;
}

// --------------------------------------------------------------------- drain

// Catches: a destructor that does not restart the stopped loop, so handlers
// posted after stop() would be discarded instead of run.
TEST_F(events_loop_test, a_handler_posted_after_stop_runs_during_destruction) {
    bool ran = false;
    m_loop->stop();
    m_loop->post([&] { ran = true; }, source_location());
    run_bounded();
    EXPECT_FALSE(ran);
    m_loop.reset();
    EXPECT_TRUE(ran);
}

// Catches: a drain that ends when a handler stops the loop, destroying the
// handlers still queued without running them.
TEST_F(events_loop_test, a_handler_that_stops_the_loop_does_not_end_the_drain) {
    std::vector<int> order;
    events_loop& loop = *m_loop;  // m_loop is already null while it is destroyed
    loop.stop();
    loop.post(
        [&] {
            order.push_back(1);
            loop.stop();
        },
        source_location());
    loop.post(
        [&] {
            order.push_back(2);
            loop.stop();
        },
        source_location());
    loop.post([&] { order.push_back(3); }, source_location());
    m_loop.reset();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// Catches: an exception escaping the destructor (std::terminate), the drain
// ending at the first failure, or the failure going unreported.
TEST_F(events_loop_test, a_handler_that_throws_during_the_drain_is_logged_and_the_drain_goes_on) {
    std::vector<int> order;
    m_loop->stop();
    m_loop->post([&] { order.push_back(1); }, source_location());
    m_loop->post([] { throw std::runtime_error("failure while draining"); }, source_location());
    m_loop->post([] { throw 7; }, source_location());
    m_loop->post([&] { order.push_back(4); }, source_location());
    m_loop.reset();
    EXPECT_EQ(order, (std::vector<int>{1, 4}));
    EXPECT_TRUE(m_syslog.wait_for("std::exception::what(): failure while draining"));
    EXPECT_TRUE(m_syslog.wait_for("Unknown exception"));
}

// Catches: a drain that waits forever for a loop that stays busy, or one that
// gives up before the 10 seconds. The pending wait is owned by its own
// handler, which the torn-down loop destroys without running.
TEST_F(events_loop_test, destruction_of_a_busy_loop_gives_up_after_ten_seconds) {
    auto wait_ran = std::make_shared<std::atomic<bool>>(false);
    auto pending = std::make_shared<boost::asio::steady_timer>(m_loop->get_io_context(), std::chrono::hours(1));
    pending->async_wait([pending, wait_ran](const boost::system::error_code&) { *wait_ran = true; });
    std::weak_ptr<boost::asio::steady_timer> weak_pending = pending;
    pending.reset();

    const auto start = std::chrono::steady_clock::now();
    m_loop.reset();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 10s - 50ms);
    EXPECT_LT(elapsed, 40s);
    EXPECT_FALSE(*wait_ran);
    EXPECT_TRUE(weak_pending.expired());
}

}  // namespace
