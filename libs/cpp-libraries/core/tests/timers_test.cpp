// One-shot and periodic timers on a running loop. Timing assertions are about
// order and grid membership (exact, in nanoseconds); lateness is bounded only
// loosely, since the suite runs on loaded machines and under sanitizers.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/timers_manager.hpp>

#include "loop_test.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;

namespace {

using time_point = timer::time_point;

// How late a callback may come and still count as "on time" here.
constexpr auto lateness_bound = 5s;

class timers_test : public orq::test::loop_test {
protected:
    timers_test() : loop_test("timers-test") {}

    timers_manager& timers() { return m_loop->get_timers(); }
    time_point now() { return timers().current_time_point(); }

    // Error lines logged so far; a marker line is awaited first, so that
    // everything logged before it has arrived.
    std::vector<std::string> errors_logged() {
        m_logger.info("marker %1%") % ++m_markers;
        EXPECT_TRUE(m_syslog.wait_for("marker " + std::to_string(m_markers)));
        std::vector<std::string> errors;
        for (const auto& record : m_syslog.records()) {
            if (record.is_error()) {
                errors.push_back(record.message);
            }
        }
        return errors;
    }

    timer::ptr stop_loop_at(time_point _time_point) {
        return m_loop->create_timer(
            _time_point, "end", [this](time_point) { m_loop->stop(); }, ORQ_SOURCE_LOCATION);
    }

private:
    int m_markers = 0;
};

struct call {
    time_point expiry;  // the argument
    time_point at;      // when the callback ran
};

// ------------------------------------------------------------ one-shot timers

// Catches: an early expiry, a wrong argument (now instead of the armed point),
// or is_waiting() not following the arming.
TEST_F(timers_test, a_timer_calls_back_once_with_its_time_point_not_before_it) {
    std::vector<call> calls;
    const auto expiry = now() + 50ms;
    timer::ptr t = m_loop->create_timer(
        expiry, "t",
        [&](time_point _tp) {
            calls.push_back({_tp, now()});
        },
        ORQ_SOURCE_LOCATION);
    EXPECT_TRUE(t->is_waiting());
    run_bounded();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].expiry, expiry);
    EXPECT_GE(calls[0].at, expiry);
    EXPECT_LT(calls[0].at, expiry + lateness_bound);
    EXPECT_FALSE(t->is_waiting());
}

// Catches: past time points refused or postponed, or reported as "now".
TEST_F(timers_test, a_time_point_in_the_past_expires_on_the_next_pass_with_that_time_point) {
    std::vector<time_point> calls;
    const auto past = now() - 1h;
    const auto t = timers().create_timer(
        past, "past", [&](time_point _tp) { calls.push_back(_tp); }, ORQ_SOURCE_LOCATION);
    run_bounded();
    EXPECT_EQ(calls, std::vector<time_point>{past});
}

// Catches: the cancelled first arming calling back or being logged as an
// error, or is_waiting() dropping when the superseded wait completes.
TEST_F(timers_test, reset_supersedes_the_first_arming_silently_and_calls_back_once_at_the_new_point) {
    std::vector<time_point> calls;
    const auto first = now() + 10ms;
    const auto second = first + 80ms;
    timer::ptr t = m_loop->create_timer(
        first, "t", [&](time_point _tp) { calls.push_back(_tp); }, ORQ_SOURCE_LOCATION);
    t->reset(second);
    // Half-way, after the first point: still waiting.
    bool waiting_in_between = false;
    const auto probe = m_loop->create_timer(
        first + 40ms, "probe", [&](time_point) { waiting_in_between = t->is_waiting(); }, ORQ_SOURCE_LOCATION);
    run_bounded();
    EXPECT_TRUE(waiting_in_between);
    EXPECT_EQ(calls, std::vector<time_point>{second});
    EXPECT_FALSE(t->is_waiting());
    EXPECT_TRUE(errors_logged().empty());
}

// Catches: telling armings apart by their time point only, which lets a
// stale completion for the same point call back a second time or clear
// is_waiting() while the new arming is pending.
TEST_F(timers_test, re_arming_for_the_same_time_point_calls_back_once) {
    std::vector<time_point> calls;
    const auto expiry = now() + 60ms;
    timer::ptr t = m_loop->create_timer(
        expiry, "t", [&](time_point _tp) { calls.push_back(_tp); }, ORQ_SOURCE_LOCATION);
    t->reset(expiry);
    t->reset(expiry);
    bool waiting_after_stale_completions = false;
    // Posted now, it runs after the cancelled completions have been delivered.
    m_loop->post([&] { waiting_after_stale_completions = t->is_waiting(); }, source_location());
    run_bounded();
    EXPECT_TRUE(waiting_after_stale_completions);
    EXPECT_EQ(calls, std::vector<time_point>{expiry});
}

// Two timers that expire in the same pass of the loop: when the first
// callback runs, the other's expiry is already queued and cannot be cancelled
// any more. Whichever runs first acts on the other.
class queued_expiry : public timers_test {
protected:
    std::map<std::string, std::vector<time_point>> m_calls;
    timer::ptr m_a;
    timer::ptr m_b;

    void arm_both(const std::function<void(timer::ptr&)>& _act_on_other) {
        const auto past = now() - 1s;
        const auto arm = [&](const std::string& _name, const std::string& _other_name, timer::ptr& _other) {
            return m_loop->create_timer(
                past, _name,
                [this, _name, _other_name, &_other, _act_on_other](time_point _tp) {
                    m_calls[_name].push_back(_tp);
                    if (m_calls[_other_name].empty()) {
                        _act_on_other(_other);
                    }
                },
                ORQ_SOURCE_LOCATION);
        };
        m_a = arm("a", "b", m_b);
        m_b = arm("b", "a", m_a);
    }

    std::size_t total_calls() { return m_calls["a"].size() + m_calls["b"].size(); }
};

// Catches: relying on cancel() alone, which cannot stop a completion that is
// already queued.
TEST_F(queued_expiry, stop_prevents_a_callback_whose_expiry_is_already_queued) {
    arm_both([](timer::ptr& _other) { _other->stop(); });
    run_bounded();
    EXPECT_EQ(total_calls(), 1u);
    EXPECT_FALSE(m_a->is_waiting());
    EXPECT_FALSE(m_b->is_waiting());
}

// Catches: a queued completion reaching the callback of a destroyed timer
// (use after free under ASan, or a call that must not happen).
TEST_F(queued_expiry, destruction_prevents_a_callback_whose_expiry_is_already_queued) {
    arm_both([](timer::ptr& _other) { _other.reset(); });
    run_bounded();
    EXPECT_EQ(total_calls(), 1u);
}

// Catches: the queued, superseded completion calling back in addition to the
// new arming (two calls, or a call with the old time point).
TEST_F(queued_expiry, reset_drops_a_queued_expiry_and_calls_back_once_for_the_new_point) {
    const auto later = now() + 30ms;
    arm_both([later](timer::ptr& _other) { _other->reset(later); });
    run_bounded();
    // One timer was called with the past point, the other only with `later`.
    const auto& a = m_calls["a"];
    const auto& b = m_calls["b"];
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_TRUE((a[0] == later) != (b[0] == later)) << "exactly one call for the new point";
}

// Catches: a timer that cannot be destroyed, stopped or re-armed from its own
// callback (use after free under ASan, or lost or repeated calls).
TEST_F(timers_test, the_callback_may_destroy_stop_or_re_arm_its_own_timer) {
    int destroyed_calls = 0;
    int stopped_calls = 0;
    std::vector<time_point> rearmed_calls;
    timer::ptr destroyed;
    timer::ptr stopped;
    timer::ptr rearmed;
    const auto start = now();
    destroyed = m_loop->create_timer(
        start, "destroyed",
        [&](time_point) {
            destroyed.reset();
            ++destroyed_calls;  // the callback itself lives on until it returns
        },
        ORQ_SOURCE_LOCATION);
    stopped = m_loop->create_timer(
        start, "stopped",
        [&](time_point) {
            stopped->stop();
            ++stopped_calls;
        },
        ORQ_SOURCE_LOCATION);
    rearmed = m_loop->create_timer(
        start, "rearmed",
        [&](time_point _tp) {
            rearmed_calls.push_back(_tp);
            if (rearmed_calls.size() == 1) {
                rearmed->reset(_tp + 20ms);
            }
        },
        ORQ_SOURCE_LOCATION);
    run_bounded();
    EXPECT_EQ(destroyed, nullptr);
    EXPECT_EQ(destroyed_calls, 1);
    EXPECT_EQ(stopped_calls, 1);
    EXPECT_FALSE(stopped->is_waiting());
    EXPECT_EQ(rearmed_calls, (std::vector<time_point>{start, start + 20ms}));
}

// Catches: an empty callback silently ignored instead of failing visibly, and
// a throwing callback stopping the loop or swallowed.
TEST_F(timers_test, callback_failures_propagate_out_of_run) {
    // Both expire in the same pass, the earlier one first.
    const auto empty = m_loop->create_timer(now() - 2s, "empty", timer::callback(), ORQ_SOURCE_LOCATION);
    const auto throwing = m_loop->create_timer(
        now() - 1s, "throwing", [](time_point) { throw std::runtime_error("callback failed"); }, ORQ_SOURCE_LOCATION);
    EXPECT_THROW(m_loop->run(), std::bad_function_call);
    EXPECT_FALSE(m_loop->is_stopped());
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    EXPECT_FALSE(empty->is_waiting());
    EXPECT_FALSE(throwing->is_waiting());
}

// Catches: the loop's destructor running a callback of a destroyed timer.
TEST_F(timers_test, a_destroyed_waiting_timer_never_calls_back) {
    bool called = false;
    auto t = m_loop->create_timer(
        now() + 10ms, "t", [&](time_point) { called = true; }, ORQ_SOURCE_LOCATION);
    t.reset();
    run_bounded();
    m_loop.reset();
    EXPECT_FALSE(called);
}

// ------------------------------------------------------------ periodic timers

// The expiries seen by a periodic callback.
class periodic_test : public timers_test {
protected:
    std::vector<call> m_calls;
    periodic_timer::ptr m_periodic;

    timer::callback record_until(std::size_t _count, std::function<void()> _then = {}) {
        return [this, _count, _then](time_point _tp) {
            m_calls.push_back({_tp, now()});
            if (m_calls.size() == _count) {
                if (_then) {
                    _then();
                } else {
                    m_loop->stop();
                }
            }
        };
    }

    // _count calls, the first expiry between the two points, all on its grid.
    void expect_series(std::size_t _count, time_point _earliest, time_point _latest, std::chrono::nanoseconds _period) {
        ASSERT_EQ(m_calls.size(), _count);
        EXPECT_GE(m_calls[0].expiry, _earliest);
        EXPECT_LE(m_calls[0].expiry, _latest);
        expect_on_grid(_period);
    }

    // Strictly increasing, each on the grid that starts at the first expiry.
    void expect_on_grid(std::chrono::nanoseconds _period) {
        for (std::size_t i = 1; i < m_calls.size(); ++i) {
            const auto offset = m_calls[i].expiry - m_calls[0].expiry;
            EXPECT_GT(offset.count(), 0) << "call " << i;
            EXPECT_EQ(offset % _period, std::chrono::nanoseconds::zero()) << "call " << i << " is off the grid";
        }
        for (const auto& c : m_calls) {
            EXPECT_GE(c.at, c.expiry) << "called before its expiry";
        }
    }
};

// Catches: drift (re-arming from the callback's time instead of the grid), a
// first expiry that is not one period after creation, or early calls.
TEST_F(periodic_test, calls_back_on_the_grid_one_period_after_creation) {
    constexpr auto period = 40ms;
    const auto before = now();
    m_periodic = m_loop->create_periodic_timer(period, "p", record_until(5), ORQ_SOURCE_LOCATION);
    const auto after = now();
    run_bounded();
    expect_series(5, before + period, after + period, period);
}

// Catches: execute_now ignored, or a grid that starts later than creation.
TEST_F(periodic_test, execute_now_calls_back_at_once_then_on_the_grid) {
    constexpr auto period = 40ms;
    const auto before = now();
    m_periodic = timers().create_periodic_timer(period, periodic_timer::execute_now(), "p", record_until(3),
                                                ORQ_SOURCE_LOCATION);
    const auto after = now();
    run_bounded();
    expect_series(3, before, after, period);
}

// Catches: missed periods being caught up with a burst of calls, or the grid
// being re-anchored at the late callback.
TEST_F(periodic_test, a_blocked_loop_gets_one_late_call_and_the_missed_periods_are_skipped) {
    constexpr auto period = 100ms;
    time_point created;
    time_point created_after;
    m_loop->post(
        [&] {
            created = now();
            m_periodic = m_loop->create_periodic_timer(period, "p", record_until(2), ORQ_SOURCE_LOCATION);
            created_after = now();
            // Blocks the loop from T to T + 3.5 periods.
            std::this_thread::sleep_until(created + 3 * period + period / 2);
        },
        source_location());
    run_bounded();
    ASSERT_EQ(m_calls.size(), 2u);
    const auto first = m_calls[0];
    EXPECT_GE(first.expiry, created + period);
    EXPECT_LE(first.expiry, created_after + period);
    EXPECT_GE(first.at, created + 3 * period + period / 2);
    // The next one is the first grid point after the late call: T + 4p when
    // the loop is not further delayed.
    const auto second = m_calls[1].expiry;
    EXPECT_EQ((second - first.expiry) % period, std::chrono::nanoseconds::zero());
    EXPECT_GE(second, first.expiry + 3 * period);
    EXPECT_LE(second - period, first.at);
}

// Catches: expire_now() not firing at once, or later expiries staying on the
// old grid.
TEST_F(periodic_test, expire_now_fires_at_once_and_moves_the_grid) {
    constexpr auto period = 30min;  // the old grid is never reached
    constexpr auto short_period = 30ms;
    time_point before;
    time_point after;
    m_periodic = m_loop->create_periodic_timer(period, "p", record_until(3), ORQ_SOURCE_LOCATION);
    m_loop->post(
        [&] {
            m_periodic->reset(short_period);
            before = now();
            m_periodic->expire_now();
            after = now();
        },
        source_location());
    run_bounded();
    expect_series(3, before, after, short_period);
}

// Catches: restart() keeping the old next expiry, and reset() not changing the
// period or not measuring from the moment of the call.
TEST_F(periodic_test, restart_and_reset_measure_from_the_moment_of_the_call) {
    constexpr auto period = 40ms;
    constexpr auto new_period = 30ms;
    time_point restart_before;
    time_point restart_after;
    time_point reset_before;
    time_point reset_after;
    const auto record = record_until(3);
    m_periodic = m_loop->create_periodic_timer(
        period, "p",
        [&, record](time_point _tp) {
            record(_tp);
            if (m_calls.size() == 1) {
                reset_before = now();
                m_periodic->reset(new_period);
                reset_after = now();
            }
        },
        ORQ_SOURCE_LOCATION);
    // Restarted before the first expiry: it moves by the time that has passed
    // since creation (exactly measurable, however short).
    m_loop->post(
        [&] {
            restart_before = now();
            m_periodic->restart();
            restart_after = now();
        },
        source_location());
    run_bounded();
    ASSERT_EQ(m_calls.size(), 3u);
    EXPECT_GE(m_calls[0].expiry, restart_before + period);
    EXPECT_LE(m_calls[0].expiry, restart_after + period);
    EXPECT_GE(m_calls[1].expiry, reset_before + new_period);
    EXPECT_LE(m_calls[1].expiry, reset_after + new_period);
    EXPECT_EQ((m_calls[2].expiry - m_calls[1].expiry) % new_period, std::chrono::nanoseconds::zero());
}

// Catches: an already re-armed expiry surviving stop() inside the callback;
// use after free when the periodic timer is destroyed by its own callback, or
// calls after that.
TEST_F(periodic_test, stop_or_destruction_inside_the_callback_ends_the_series) {
    constexpr auto period = 20ms;
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "stopped");
        m_calls.clear();
        m_periodic.reset();
        m_loop = m_core->create_events_loop(destroy ? "second loop" : "first loop");
        m_periodic = m_loop->create_periodic_timer(
            period, "p", record_until(1, [this, destroy] { destroy ? m_periodic.reset() : m_periodic->stop(); }),
            ORQ_SOURCE_LOCATION);
        const auto end = stop_loop_at(now() + 10 * period);
        run_bounded();
        EXPECT_EQ(m_calls.size(), 1u);
        EXPECT_EQ(m_periodic == nullptr, destroy);
    }
}

// Catches: expire_now() on a stopped timer crashing (no underlying timer) or
// quietly starting it again; restart() not starting a stopped timer.
TEST_F(periodic_test, expire_now_on_a_stopped_timer_does_nothing_and_restart_starts_it_again) {
    constexpr auto period = 20ms;
    m_periodic = m_loop->create_periodic_timer(period, "p", record_until(1), ORQ_SOURCE_LOCATION);
    m_periodic->stop();
    m_periodic->expire_now();
    run_bounded();  // nothing keeps the loop busy: it runs out of work
    EXPECT_TRUE(m_calls.empty());

    m_periodic.reset();
    m_loop = m_core->create_events_loop("second loop");
    m_periodic = m_loop->create_periodic_timer(period, "p", record_until(1), ORQ_SOURCE_LOCATION);
    m_periodic->stop();
    const auto before = now();
    m_periodic->restart();
    run_bounded();
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_GE(m_calls[0].expiry, before + period);
}

// Catches: a throwing callback ending the series (the timer must have re-armed
// before calling it).
TEST_F(periodic_test, keeps_firing_after_its_callback_threw) {
    constexpr auto period = 20ms;
    int calls = 0;
    m_periodic = m_loop->create_periodic_timer(
        period, "p",
        [&](time_point) {
            if (++calls == 1) {
                throw std::runtime_error("first call fails");
            }
            m_loop->stop();
        },
        ORQ_SOURCE_LOCATION);
    EXPECT_THROW(m_loop->run(), std::runtime_error);
    run_bounded();
    EXPECT_EQ(calls, 2);
}

// Catches: a zero period (division by zero on the next expiry, or a busy loop
// firing without pause) or a negative one being accepted, at creation or by
// reset(); a refused reset() changing the running timer.
TEST_F(periodic_test, a_period_that_is_not_positive_is_refused) {
    const auto callback = [](time_point) {};
    for (const std::chrono::nanoseconds bad : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(-5)}) {
        EXPECT_THROW(m_loop->create_periodic_timer(bad, "p", callback, ORQ_SOURCE_LOCATION), exception);
        EXPECT_THROW(
            m_loop->create_periodic_timer(bad, periodic_timer::execute_now(), "p", callback, ORQ_SOURCE_LOCATION),
            exception);
    }
    try {
        m_loop->create_periodic_timer(std::chrono::nanoseconds(0), "p", callback, ORQ_SOURCE_LOCATION);
    } catch (const exception& _e) {
        EXPECT_NE(_e.get_string_error().find("must be positive"), std::string::npos) << _e.what();
    }

    constexpr auto period = 30ms;
    const auto before = now();
    m_periodic = m_loop->create_periodic_timer(period, "p", record_until(2), ORQ_SOURCE_LOCATION);
    EXPECT_THROW(m_periodic->reset(std::chrono::nanoseconds(0)), exception);
    EXPECT_THROW(m_periodic->reset(-1s), exception);
    run_bounded();
    ASSERT_EQ(m_calls.size(), 2u);
    EXPECT_GE(m_calls[0].expiry, before + period);
    expect_on_grid(period);
}

// ------------------------------------------------------------------- clocks

// Catches: a wall clock rounded instead of truncated to whole milliseconds
// (it would then be ahead of a later truncated reading now and then), or a
// clock other than the real-time one.
TEST_F(timers_test, current_timestamp_is_the_real_time_clock_truncated_to_milliseconds) {
    for (int i = 0; i < 1000; ++i) {
        timespec before{};
        ::clock_gettime(CLOCK_REALTIME, &before);
        const auto stamp = timers().current_timestamp().milliseconds_since_epoch();
        timespec after{};
        ::clock_gettime(CLOCK_REALTIME, &after);
        ASSERT_GE(stamp, std::int64_t{before.tv_sec} * 1000 + before.tv_nsec / 1000000);
        ASSERT_LE(stamp, std::int64_t{after.tv_sec} * 1000 + after.tv_nsec / 1000000);
    }
}

}  // namespace
