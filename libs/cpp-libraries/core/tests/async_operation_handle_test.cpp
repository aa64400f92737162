// Asynchronous operation handles: results produced on other threads are
// delivered on the loop's thread, dropped with the handle, counted per run.

#include <core/async_operation_handle.hpp>
#include <core/async_operation_handle_impl.hpp>
#include <core/badge.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "loop_test.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;

namespace {

using int_handle = async_operation_handle_impl<int>;

// Only the handle's own create() can cut the badge its constructor needs
// (a badge is not default-constructible from outside, not even as {}).
template <typename T, typename = void>
struct brace_constructible : std::false_type {};
template <typename T>
struct brace_constructible<T, std::void_t<decltype(T{})>> : std::true_type {};
static_assert(!std::is_default_constructible_v<badge<int_handle>>);
static_assert(!brace_constructible<badge<int_handle>>::value);
// A handle without result types instantiates: its two set_callback overloads
// do not collide although both callback types are then std::function<void()>.
static_assert(std::is_abstract_v<async_operation_handle<>>);

class async_operation_handle_test : public orq::test::loop_test {
protected:
    std::vector<std::thread> m_workers;

    async_operation_handle_test() : loop_test("async-handle-test") {}
    ~async_operation_handle_test() override {
        for (auto& worker : m_workers) {
            worker.join();
        }
    }

    // An operation that returns _value from a worker thread.
    int_handle::start_function on_worker(int _value) {
        return [this, _value](int_handle::ptr _self, std::weak_ptr<int_handle>) {
            m_workers.emplace_back([self = std::move(_self), _value] { self->return_result(int(_value)); });
        };
    }
};

// ------------------------------------------------------------------ delivery

// Catches: a callback called on the producing thread instead of the loop's,
// and a result posted before the handle counts as complete.
TEST_F(async_operation_handle_test, results_from_worker_threads_arrive_on_the_loop_thread) {
    constexpr int operations = 8;
    auto work = m_loop->create_work();
    const auto loop_thread = std::this_thread::get_id();
    std::vector<int_handle::ptr> handles;
    std::vector<int> results;
    bool foreign_thread = false;
    bool incomplete_in_callback = false;
    for (int i = 0; i < operations; ++i) {
        auto handle = int_handle::create(*m_loop, on_worker(i));
        handle->set_callback([&, raw = handle.get()](int _result) {
            foreign_thread = foreign_thread || std::this_thread::get_id() != loop_thread;
            incomplete_in_callback = incomplete_in_callback || !raw->is_complete();
            results.push_back(_result);
            if (results.size() == operations) {
                work.reset();
            }
        });
        handle->start();
        handles.push_back(handle);
    }
    run_bounded();
    EXPECT_FALSE(foreign_thread);
    EXPECT_FALSE(incomplete_in_callback);
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (const auto& handle : handles) {
        EXPECT_TRUE(handle->is_complete());
    }
}

// Catches: a callback installed from another thread while results are being
// delivered that tears the callback being called (a crash, or a data race
// under TSan), or a result that reaches no callback or two.
TEST_F(async_operation_handle_test, callbacks_installed_from_another_thread_during_deliveries_each_take_whole_results) {
    constexpr int results = 20000;
    auto handle =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(1); });
    std::atomic<int> delivered{0};
    const auto counting = [&delivered](int _result) { delivered += _result; };
    handle->set_callback(counting);
    std::atomic<bool> stop{false};
    std::thread installer([&] {
        while (!stop) {
            handle->set_callback(counting);
        }
    });
    for (int i = 0; i < results; ++i) {
        handle->restart();
        m_loop->get_io_context().restart();
        m_loop->get_io_context().poll();
    }
    stop = true;
    installer.join();
    EXPECT_EQ(delivered, results);
}

// Catches: a result returned before the callback is installed being lost
// (delivered inline instead of through the loop).
TEST_F(async_operation_handle_test, a_callback_installed_after_start_receives_an_early_result) {
    auto handle =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(17); });
    handle->start();
    EXPECT_TRUE(handle->is_complete());
    std::vector<int> results;
    handle->set_callback([&](int _result) { results.push_back(_result); });
    run_bounded();
    EXPECT_EQ(results, std::vector<int>{17});
}

// Catches: a result reaching the callback of a dropped handle, or being kept
// alive (leaked) instead of dropped.
TEST_F(async_operation_handle_test, dropping_the_handle_before_delivery_drops_the_result) {
    using shared_handle = async_operation_handle_impl<std::shared_ptr<int>>;
    auto payload = std::make_shared<int>(5);
    std::weak_ptr<int> watched = payload;
    bool called = false;
    auto handle = shared_handle::create(*m_loop, [&payload](shared_handle::ptr _self, std::weak_ptr<shared_handle>) {
        _self->return_result(std::move(payload));
    });
    handle->set_callback([&](std::shared_ptr<int>) { called = true; });
    handle->start();
    handle.reset();
    run_bounded();
    EXPECT_FALSE(called);
    EXPECT_TRUE(watched.expired());
}

// Catches: a result delivered without a callback crashing the loop, or not
// counting as complete.
TEST_F(async_operation_handle_test, a_result_without_a_callback_is_lost_but_complete) {
    auto handle =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(1); });
    handle->start();
    run_bounded();
    EXPECT_TRUE(handle->is_complete());
}

// Catches: a move-only result that cannot travel through the loop, or is
// delivered moved-from.
TEST_F(async_operation_handle_test, move_only_results_are_delivered_intact) {
    using unique_handle = async_operation_handle_impl<std::unique_ptr<std::string>>;
    auto handle = unique_handle::create(*m_loop, [this](unique_handle::ptr _self, std::weak_ptr<unique_handle>) {
        m_workers.emplace_back(
            [self = std::move(_self)] { self->return_result(std::make_unique<std::string>("payload")); });
    });
    std::string received;
    auto work = m_loop->create_work();
    handle->set_callback([&](std::unique_ptr<std::string> _result) {
        received = *_result;
        work.reset();
    });
    handle->start();
    run_bounded();
    EXPECT_EQ(received, "payload");
}

// ------------------------------------------------------------------- restart

// Catches: restart() not running the operation again, is_complete() staying
// true across the restart, or results counted more or less than once each.
TEST_F(async_operation_handle_test, restart_runs_the_operation_again_and_each_result_is_delivered_once) {
    int starts = 0;
    std::weak_ptr<int_handle> producer;
    auto handle = int_handle::create(*m_loop, [&](int_handle::ptr, std::weak_ptr<int_handle> _weak) {
        ++starts;
        producer = _weak;  // the result comes later, if the handle still exists
    });
    std::vector<int> results;
    handle->set_callback([&](int _result) { results.push_back(_result); });

    handle->start();
    EXPECT_FALSE(handle->is_complete());
    producer.lock()->return_result(10);
    EXPECT_TRUE(handle->is_complete());
    handle->restart();
    EXPECT_EQ(starts, 2);
    EXPECT_FALSE(handle->is_complete());
    producer.lock()->return_result(20);
    EXPECT_TRUE(handle->is_complete());
    run_bounded();
    EXPECT_EQ(results, (std::vector<int>{10, 20}));
}

// Catches: the callback called through a copy per result, so that a callback
// with state (a mutable lambda) never sees its own state again.
TEST_F(async_operation_handle_test, the_callback_keeps_its_state_across_results_and_restarts) {
    auto handle =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(0); });
    std::vector<int> seen;
    handle->set_callback([&seen, count = 0](int) mutable { seen.push_back(++count); });
    handle->start();
    handle->restart();
    handle->restart();
    run_bounded();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

// ------------------------------------------------------------------ callbacks

// Catches: the argument-less callback not being called, called with the wrong
// count, or an empty one installed as a callable that throws on delivery.
TEST_F(async_operation_handle_test, a_callback_without_arguments_is_called_once_per_result) {
    auto handle = int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) {
        _self->return_result(1);
        _self->return_result(2);
    });
    int calls = 0;
    handle->set_callback(int_handle::void_callback([&] { ++calls; }));
    handle->start();

    auto quiet =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(3); });
    quiet->set_callback(int_handle::void_callback());
    quiet->start();
    // Would throw std::bad_function_call if the empty function had been
    // wrapped into a callable.
    run_bounded();
    EXPECT_EQ(calls, 2);
}

// Catches: use after free when the callback drops the last reference to its
// handle, or replaces its own callback, while it runs.
TEST_F(async_operation_handle_test, the_callback_may_drop_its_handle_or_replace_itself) {
    std::vector<std::string> calls;
    auto dropped =
        int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) { _self->return_result(1); });
    auto big = std::make_shared<std::string>(1000, 'x');  // a capture that lives on the heap
    dropped->set_callback([&, big](int) {
        dropped.reset();
        calls.push_back("dropped " + std::to_string(big->size()));
    });
    dropped->start();

    auto replaced = int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) {
        _self->return_result(1);
        _self->return_result(2);
    });
    replaced->set_callback([&, big](int _result) {
        replaced->set_callback([&](int _next) { calls.push_back("second " + std::to_string(_next)); });
        calls.push_back("first " + std::to_string(_result) + " " + std::to_string(big->size()));
    });
    replaced->start();
    big.reset();

    run_bounded();
    EXPECT_EQ(dropped, nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"dropped 1000", "first 1 1000", "second 2"}));
}

// Catches: a callback destroyed while it still runs, when a call nested in
// it (the callback runs the loop, which delivers the next result) replaces it
// and returns first (a use after free under ASan).
TEST_F(async_operation_handle_test, a_callback_replaced_by_a_call_nested_in_it_lives_until_it_returns) {
    auto handle = int_handle::create(*m_loop, [](int_handle::ptr _self, std::weak_ptr<int_handle>) {
        _self->return_result(1);
        _self->return_result(2);
    });
    std::vector<std::string> calls;
    auto big = std::make_shared<std::string>(1000, 'x');  // a capture that lives on the heap
    handle->set_callback([&, big](int _result) {
        if (_result == 1) {
            m_loop->get_io_context().poll_one();
        } else {
            handle->set_callback([&](int _next) { calls.push_back("third " + std::to_string(_next)); });
        }
        calls.push_back(std::to_string(_result) + " " + std::to_string(big->size()));
    });
    big.reset();
    handle->start();
    run_bounded();
    m_loop->get_io_context().restart();
    handle->restart();
    run_bounded();
    EXPECT_EQ(calls, (std::vector<std::string>{"2 1000", "1 1000", "third 1", "third 2"}));
}

}  // namespace
