#pragma once

#include <core/impl/block_pool.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

namespace orq::libs::core {

namespace detail {
// Stands in for the argument-less callback type when the handle has no result
// types of its own, where that type would be the same as `callback`.
struct no_void_callback {
    no_void_callback() = delete;
};
}  // namespace detail

// A shared handle of an operation whose result arrives later, possibly on
// another thread, and is delivered to the installed callback on the thread of
// the event loop the handle is bound to. Dropping the last pointer to the
// handle drops the results that arrive afterwards.
template <typename... Result>
class async_operation_handle {
public:
    using ptr = std::shared_ptr<async_operation_handle<Result...>>;
    using callback = std::function<void(Result...)>;
    using void_callback = std::function<void()>;

    virtual ~async_operation_handle() = default;

    // True once a result has been handed to the loop; false again after restart().
    virtual bool is_complete() const = 0;
    // Runs the operation again.
    virtual void restart() = 0;

    // Receives each result, on the loop's thread. Results delivered while no
    // callback is installed are dropped. Safe from any thread, also while a
    // result is being delivered; a result that reaches the loop before the
    // installation goes to the callback installed before it (or is dropped).
    void set_callback(callback _callback) { install(std::move(_callback)); }

    // Called with no arguments for each result; the result is discarded. An
    // empty function installs no callback.
    void set_callback(std::conditional_t<sizeof...(Result) == 0, detail::no_void_callback, void_callback> _callback) {
        if (!_callback) {
            install(callback());
            return;
        }
        install([callback = std::move(_callback)](Result...) { callback(); });
    }

protected:
    // The installed callback, empty when none is. A delivery calls it through
    // this pointer, so the callback keeps its own state from one result to the
    // next, and stays alive while it runs even if it installs another one.
    std::shared_ptr<callback> get_callback() const {
        const lock_guard lock(m_callback_lock);
        return m_callback;
    }

private:
    // Guards m_callback: the installing thread and the delivering one may
    // differ. Held only to copy or swap the pointer, so a spin is enough, and
    // far cheaper than a mutex on the path of every result.
    class lock_guard {
    public:
        explicit lock_guard(std::atomic_flag& _flag) : m_flag(_flag) {
            while (m_flag.test_and_set(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
        }
        ~lock_guard() { m_flag.clear(std::memory_order_release); }
        lock_guard(const lock_guard&) = delete;
        lock_guard& operator=(const lock_guard&) = delete;

    private:
        std::atomic_flag& m_flag;
    };

    void install(callback _callback) {
        // Its memory comes from the pool of small per-operation objects.
        std::shared_ptr<callback> holder =
            _callback ? std::allocate_shared<callback>(detail::pool_allocator<callback>(), std::move(_callback))
                      : nullptr;
        // Swapped under the lock; the replaced callback goes after it, as its
        // captures may do anything when destroyed.
        const lock_guard lock(m_callback_lock);
        m_callback.swap(holder);
    }

    mutable std::atomic_flag m_callback_lock = ATOMIC_FLAG_INIT;
    std::shared_ptr<callback> m_callback;
};

}  // namespace orq::libs::core
