#include "command_impl.hpp"

#include <core/async_operation_handle_impl.hpp>

#include <utility>

namespace orq::libs::core::redis {

command_impl::command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                           async_context& _async)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_sync(_sync),
      m_async(_async),
      m_data(std::make_shared<data>()) {}

command& command_impl::add_argument(std::string _argument) {
    const std::string& stored = m_data->m_argv_keeper.emplace_back(std::move(_argument));
    m_data->m_argv.push_back(stored.data());
    m_data->m_argv_len.push_back(stored.size());
    return *this;
}

reply command_impl::execute() {
    return m_sync.run_command(m_data->m_argv, m_data->m_argv_len);
}

async_operation_handle<reply>::ptr command_impl::execute_async() {
    using handle = async_operation_handle_impl<reply>;
    auto result = handle::create(m_events_loop, [data = m_data, &async = m_async](
                                                    const handle::ptr& /*_self*/, const std::weak_ptr<handle>& _weak) {
        async.run_command(data->m_argv, data->m_argv_len, [_weak](reply _reply) {
            if (const auto self = _weak.lock()) {
                self->return_result(std::move(_reply));
            }
        });
    });
    result->start();
    return result;
}

}  // namespace orq::libs::core::redis
