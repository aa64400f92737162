#pragma once

#include <core/async_operation_handle.hpp>
#include <core/badge.hpp>
#include <core/events_loop.hpp>
#include <core/source_location.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace orq::libs::core {

// The handle of one operation, given as a start function. The operation calls
// return_result from any thread; the result is posted to the loop and handed
// to the callback there, provided the handle still exists.
//
// The loop must outlive the handle and every producer that may still call
// return_result on it.
template <typename Result>
class async_operation_handle_impl final : public async_operation_handle<Result>,
                                          public std::enable_shared_from_this<async_operation_handle_impl<Result>> {
public:
    using ptr = std::shared_ptr<async_operation_handle_impl<Result>>;
    // Receives a strong pointer, valid for the duration of the call, and a weak
    // one: a producer that keeps only the weak pointer leaves the handle's
    // lifetime to its owner.
    using start_function = std::function<void(std::shared_ptr<async_operation_handle_impl<Result>>,
                                              std::weak_ptr<async_operation_handle_impl<Result>>)>;

    // Does not start the operation; the producer calls start() next.
    static ptr create(events_loop& _events_loop, start_function _start) {
        return std::make_shared<async_operation_handle_impl<Result>>(_events_loop, std::move(_start),
                                                                     badge<async_operation_handle_impl<Result>>());
    }

    async_operation_handle_impl(events_loop& _events_loop, start_function _start,
                                badge<async_operation_handle_impl<Result>> /*_badge*/)
        : m_events_loop(_events_loop), m_start_function(std::move(_start)) {}

    // Runs the start function on the calling thread; the handle counts as not
    // complete until its next result.
    void start() {
        m_completed.store(false);
        m_start_function(this->shared_from_this(), this->weak_from_this());
    }

    void restart() override { start(); }

    bool is_complete() const override { return m_completed.load(); }

    // Any thread, once per run.
    void return_result(Result&& _result) {
        std::weak_ptr<async_operation_handle_impl<Result>> weak_self = this->weak_from_this();
        // Shared so that the posted function object stays copyable whatever Result is.
        auto result = std::make_shared<Result>(std::move(_result));
        // Complete before the delivery can run, so that a callback that looks
        // at is_complete() sees the result as returned.
        m_completed.store(true);
        m_events_loop.post(
            [weak_self = std::move(weak_self), result = std::move(result)]() {
                const auto self = weak_self.lock();
                if (!self) {
                    return;
                }
                // Held while the callback runs: it may drop the handle.
                self->call_callback(std::move(*result));
            },
            source_location());
    }

private:
    events_loop& m_events_loop;
    std::atomic_bool m_completed{false};
    start_function m_start_function;
};

}  // namespace orq::libs::core
