#pragma once

#include <core/impl/block_pool.hpp>

#include <atomic>
#include <cstddef>
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

    virtual ~async_operation_handle() {
        delete m_callback;
        destroy(m_retired);
    }
    async_operation_handle() = default;
    async_operation_handle(const async_operation_handle&) = delete;
    async_operation_handle& operator=(const async_operation_handle&) = delete;

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
        install(callback([callback = std::move(_callback)](Result...) { callback(); }));
    }

protected:
    // Hands one result to the installed callback, if any, on the loop's
    // thread; the caller keeps the handle alive meanwhile. The callback keeps
    // its own state from one result to the next. One that is replaced while
    // it runs (by itself, or from another thread) is destroyed once every
    // call in progress has returned.
    void call_callback(Result... _result) {
        holder* target = nullptr;
        {
            const lock_guard lock(m_callback_lock);
            target = m_callback;
            if (target == nullptr) {
                return;
            }
            ++m_running;
        }
        const call_end end(*this);
        target->m_function(std::forward<Result>(_result)...);
    }

    // Drops the installed callback, as installing an empty one does.
    void drop_callback() { install(callback()); }

private:
    // Guards the callback pointers and the count of calls: the installing
    // thread and the delivering one may differ. Held only to swap or read
    // a pointer, so a spin is enough, and far cheaper than a mutex on the
    // path of every result.
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

    // One installed callback; its memory comes from the pool of small
    // per-operation objects.
    struct holder : detail::pool_allocated {
        explicit holder(callback&& _function) : m_function(std::move(_function)) {}

        callback m_function;
        // Next in the list of replaced callbacks that wait for calls to end.
        holder* m_next = nullptr;
    };

    // Ends one call of call_callback, also when the callback throws.
    class call_end {
    public:
        explicit call_end(async_operation_handle& _handle) : m_handle(_handle) {}
        ~call_end() {
            holder* retired = nullptr;
            {
                const lock_guard lock(m_handle.m_callback_lock);
                if (--m_handle.m_running == 0) {
                    retired = std::exchange(m_handle.m_retired, nullptr);
                }
            }
            destroy(retired);
        }
        call_end(const call_end&) = delete;
        call_end& operator=(const call_end&) = delete;

    private:
        async_operation_handle& m_handle;
    };

    static void destroy(holder* _list) {
        while (_list != nullptr) {
            delete std::exchange(_list, _list->m_next);
        }
    }

    void install(callback&& _callback) {
        holder* replaced = _callback ? new holder(std::move(_callback)) : nullptr;
        {
            const lock_guard lock(m_callback_lock);
            std::swap(m_callback, replaced);
            if (replaced != nullptr && m_running > 0) {
                replaced->m_next = m_retired;
                m_retired = std::exchange(replaced, nullptr);
            }
        }
        // After the lock: its captures may do anything when destroyed.
        delete replaced;
    }

    std::atomic_flag m_callback_lock = ATOMIC_FLAG_INIT;
    holder* m_callback = nullptr;
    // Replaced while calls were in progress: destroyed when the last ends.
    holder* m_retired = nullptr;
    int m_running = 0;
};

}  // namespace orq::libs::core
