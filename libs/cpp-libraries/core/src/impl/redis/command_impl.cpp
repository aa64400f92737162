#include "command_impl.hpp"

#include <core/impl/block_pool.hpp>
#include <core/source_location.hpp>

#include <atomic>
#include <utility>

namespace orq::libs::core::redis {

namespace {

using ::orq::libs::core::detail::block_pool;
using ::orq::libs::core::detail::pool_allocator;

// The handle of one asynchronous run of a command. Each run queues the
// command's protocol text on the connection; the reply is handed to the
// callback on the loop, provided the handle still exists.
class command_handle final : public async_operation_handle<reply>, public std::enable_shared_from_this<command_handle> {
public:
    command_handle(events_loop& _events_loop, std::shared_ptr<command_impl::data> _data, async_context& _async)
        : m_events_loop(_events_loop), m_data(std::move(_data)), m_async(_async) {}

    // Queues the command with its current arguments; the handle counts as not
    // complete until its next reply.
    void start() {
        m_completed.store(false, std::memory_order_release);
        const std::string& text = m_data->formatted();
        const std::size_t words = m_data->m_argv.size();
        const boost::string_view name =
            words == 0 ? boost::string_view() : boost::string_view(m_data->m_argv[0], m_data->m_argv_len[0]);
        m_async.run_formatted(text, words, name, std::make_unique<receiver>(weak_from_this()));
    }

    void restart() override { start(); }

    bool is_complete() const override { return m_completed.load(std::memory_order_acquire); }

private:
    // Hands one reply to the callback, on the loop.
    static void hand_over(const command_handle& _handle, reply _reply) {
        // Held while it runs: the callback may install another one, or drop
        // the handle.
        const auto callback = _handle.get_callback();
        if (callback) {
            (*callback)(std::move(_reply));
        }
    }

    // Delivers one reply on a later turn of the loop, unless the handle has
    // gone meanwhile. Its memory (the queued operation) comes from the pool.
    struct delivery {
        using allocator_type = pool_allocator<void>;

        allocator_type get_allocator() const noexcept { return allocator_type(); }

        void operator()() {
            if (const auto handle = m_handle.lock()) {
                hand_over(*handle, std::move(m_reply));
            }
        }

        std::weak_ptr<command_handle> m_handle;
        reply m_reply;
    };

    // Keeps only a weak pointer: dropping the handle drops its reply.
    class receiver final : public async_context::pending {
    public:
        explicit receiver(std::weak_ptr<command_handle> _handle) : m_handle(std::move(_handle)) {}

        static void* operator new(std::size_t _size) { return block_pool::allocate(_size); }
        static void operator delete(void* _block, std::size_t _size) noexcept { block_pool::deallocate(_block, _size); }

        void deliver(reply _reply) override {
            const auto self = m_handle.lock();
            if (!self) {
                return;
            }
            // Complete before the delivery can run, so that a callback that
            // looks at is_complete() sees the reply as returned.
            self->m_completed.store(true, std::memory_order_release);
            // The reply travels inside the posted function itself.
            self->m_events_loop.post(delivery{std::move(m_handle), std::move(_reply)}, source_location());
        }

        void deliver_now(reply _reply) override {
            if (const auto self = m_handle.lock()) {
                self->m_completed.store(true, std::memory_order_release);
                hand_over(*self, std::move(_reply));
            }
        }

    private:
        std::weak_ptr<command_handle> m_handle;
    };

    events_loop& m_events_loop;
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

void* command_impl::operator new(std::size_t _size) {
    return block_pool::allocate(_size);
}

void command_impl::operator delete(void* _block, std::size_t _size) noexcept {
    block_pool::deallocate(_block, _size);
}

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
    auto result =
        std::allocate_shared<command_handle>(pool_allocator<command_handle>(), m_events_loop, m_data, m_async);
    result->start();
    return result;
}

}  // namespace orq::libs::core::redis
