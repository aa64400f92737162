#pragma once

#include "async_context.hpp"
#include "sync_context.hpp"

#include <core/events_loop.hpp>
#include <core/impl/block_pool.hpp>
#include <core/logger.hpp>
#include <core/redis/command.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::redis {

// Commands are often made for one request and dropped again: their memory
// comes from the pool of such objects.
class command_impl final : public command, public ::orq::libs::core::detail::pool_allocated {
public:
    // The arguments in the form hiredis takes them.
    struct data {
        // Owns every argument; m_argv points into these strings, and is
        // pointed again whenever appending moves them.
        std::vector<std::string> m_argv_keeper;
        std::vector<const char*> m_argv;
        std::vector<std::size_t> m_argv_len;
        // The words in the protocol's form, built by the first asynchronous
        // run after a change and reused by the runs that follow; a
        // subscription or MONITOR is refused instead.
        std::string m_formatted;
        bool m_formatted_valid = false;

        const std::string& formatted();
    };

    command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                 async_context& _async);

    // Room for this many arguments in all, so that adding them allocates once.
    void reserve(std::size_t _arguments);

    command& add_argument(std::string _argument) override;
    reply execute() override;
    async_operation_handle<reply>::ptr execute_async() override;

private:
    events_loop& m_events_loop;
    // Nothing is logged: failures are thrown or delivered as NIL replies.
    [[maybe_unused]] const component_logger& m_logger;
    sync_context& m_sync;
    async_context& m_async;
    std::shared_ptr<data> m_data;
};

}  // namespace orq::libs::core::redis
