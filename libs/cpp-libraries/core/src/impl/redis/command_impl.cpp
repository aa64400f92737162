#include "command_impl.hpp"

#include <core/impl/block_pool.hpp>
#include <core/source_location.hpp>

#include <atomic>
#include <utility>

namespace orq::libs::core::redis {

namespace {

using ::orq::libs::core::detail::pool_allocated;
using ::orq::libs::core::detail::pool_allocator;

// The handle of one asynchronous run of a command. Each run queues the
// command's protocol text on the connection; the reply is handed to the
// callback on the loop, provided the handle's users still hold it.
//
// The handle counts its own references: one for all the users' shared
// pointers together, and one for each run whose reply is still to come.
// When the users let go, the callback goes at once (and with it the replies
// that arrive afterwards); the rest of the handle goes with the last
// reference. This costs no weak pointer, and no atomic operation on the
// shared pointer's counts, per reply.
class command_handle final : public async_operation_handle<reply>, public pool_allocated {
public:
    static std::shared_ptr<command_handle> create(events_loop& _events_loop, std::shared_ptr<command_impl::data> _data,
                                                  async_context& _async) {
        std::shared_ptr<command_handle> result(new command_handle(_events_loop, std::move(_data), _async), users_gone(),
                                               pool_allocator<command_handle>());
        // Nobody else sees the handle yet: the first run's reference is
        // counted without an atomic increment.
        result->m_references.store(2, std::memory_order_relaxed);
        result->start();
        return result;
    }

    void restart() override {
        m_references.fetch_add(1, std::memory_order_relaxed);
        start();
    }

    bool is_complete() const override { return m_completed.load(std::memory_order_acquire); }

private:
    command_handle(events_loop& _events_loop, std::shared_ptr<command_impl::data> _data, async_context& _async)
        : m_events_loop(_events_loop), m_data(std::move(_data)), m_async(_async) {}

    // The deleter of the users' shared pointers.
    struct users_gone {
        void operator()(command_handle* _handle) const noexcept {
            _handle->drop_callback();
            _handle->release();
        }
    };

    void release() noexcept {
        if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }

    // One counted reference, given back when it goes.
    class reference {
    public:
        explicit reference(command_handle& _handle) noexcept : m_handle(&_handle) {}
        reference(reference&& _other) noexcept : m_handle(std::exchange(_other.m_handle, nullptr)) {}
        reference(const reference&) = delete;
        reference& operator=(const reference&) = delete;
        reference& operator=(reference&&) = delete;
        ~reference() {
            if (m_handle != nullptr) {
                m_handle->release();
            }
        }
        command_handle* operator->() const noexcept { return m_handle; }

    private:
        command_handle* m_handle;
    };

    // Queues the command with its current arguments, for a run whose
    // reference is already counted; the handle counts as not complete until
    // its next reply.
    void start() {
        reference run(*this);
        m_completed.store(false, std::memory_order_release);
        const std::string& text = m_data->formatted();
        const std::size_t words = m_data->m_argv.size();
        const boost::string_view name =
            words == 0 ? boost::string_view() : boost::string_view(m_data->m_argv[0], m_data->m_argv_len[0]);
        m_async.run_formatted(text, words, name, std::make_unique<receiver>(std::move(run)));
    }

    // Delivers one reply on a later turn of the loop. Its memory (the queued
    // operation) comes from the pool.
    struct delivery {
        using allocator_type = pool_allocator<void>;

        allocator_type get_allocator() const noexcept { return allocator_type(); }

        void operator()() { m_handle->call_callback(std::move(m_reply)); }

        reference m_handle;
        reply m_reply;
    };

    // Holds the run's reference until its reply has been handed over.
    class receiver final : public async_context::pending, public pool_allocated {
    public:
        explicit receiver(reference&& _handle) : m_handle(std::move(_handle)) {}

        void deliver(reply _reply) override {
            // Complete before the delivery can run, so that a callback that
            // looks at is_complete() sees the reply as returned.
            m_handle->m_completed.store(true, std::memory_order_release);
            // The reply travels inside the posted function itself.
            events_loop& loop = m_handle->m_events_loop;
            loop.post(delivery{std::move(m_handle), std::move(_reply)}, source_location());
        }

        void deliver_now(reply _reply) override {
            m_handle->m_completed.store(true, std::memory_order_release);
            m_handle->call_callback(std::move(_reply));
        }

    private:
        reference m_handle;
    };

    events_loop& m_events_loop;
    std::atomic_int m_references{1};
    std::atomic_bool m_completed{false};
    std::shared_ptr<command_impl::data> m_data;
    async_context& m_async;
};

}  // namespace

const std::string& command_impl::data::formatted() {
    if (!m_formatted_valid) {
        // Once per text, rather than on every run of it.
        if (!m_argv.empty()) {
            refuse_subscription(boost::string_view(m_argv[0], m_argv_len[0]));
        }
        format_command(m_argv, m_argv_len, m_formatted);
        m_formatted_valid = true;
    }
    return m_formatted;
}

command_impl::command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                           async_context& _async)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_sync(_sync),
      m_async(_async),
      m_data(std::allocate_shared<data>(pool_allocator<data>())) {}

void command_impl::reserve(std::size_t _arguments) {
    auto& words = m_data->m_argv_keeper;
    if (_arguments <= words.capacity()) {
        return;
    }
    words.reserve(_arguments);
    for (std::size_t i = 0; i < words.size(); ++i) {
        m_data->m_argv[i] = words[i].data();
    }
    m_data->m_argv.reserve(_arguments);
    m_data->m_argv_len.reserve(_arguments);
}

command& command_impl::add_argument(std::string _argument) {
    auto& words = m_data->m_argv_keeper;
    // Growing moves the strings, and short ones change their address.
    const bool moves = words.size() == words.capacity();
    const std::string& stored = words.emplace_back(std::move(_argument));
    if (moves) {
        for (std::size_t i = 0; i + 1 < words.size(); ++i) {
            m_data->m_argv[i] = words[i].data();
        }
    }
    m_data->m_argv.push_back(stored.data());
    m_data->m_argv_len.push_back(stored.size());
    m_data->m_formatted_valid = false;
    return *this;
}

reply command_impl::execute() {
    return m_sync.run_command(m_data->m_argv, m_data->m_argv_len);
}

async_operation_handle<reply>::ptr command_impl::execute_async() {
    return command_handle::create(m_events_loop, m_data, m_async);
}

}  // namespace orq::libs::core::redis
