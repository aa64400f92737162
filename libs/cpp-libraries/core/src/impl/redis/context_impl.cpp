#include "context_impl.hpp"

#include "command_impl.hpp"

#include <core/async_operation_handle_impl.hpp>

#include <utility>

namespace orq::libs::core::redis {

async_operation_handle<context_impl::create_result>::ptr context_impl::create(events_loop& _events_loop,
                                                                              const component_logger& _logger,
                                                                              boost::string_view _ip, int _port,
                                                                              int _db) {
    using handle = async_operation_handle_impl<create_result>;
    auto connecting = async_context::create(_events_loop, _logger, std::string(_ip), _port, _db);
    auto result = handle::create(_events_loop, [&_events_loop, &_logger, ip = std::string(_ip), connecting, _port, _db](
                                                   const handle::ptr& /*_self*/, const std::weak_ptr<handle>& _weak) {
        if (connecting->is_complete()) {
            connecting->restart();
        }
        connecting->set_callback([&_events_loop, &_logger, ip, _port, _db, _weak](async_context::ptr _async) {
            const auto self = _weak.lock();
            if (!self) {
                return;
            }
            if (!_async) {
                self->return_result(create_result());
                return;
            }
            // Blocks the loop for the connect (at most 1.5 s) and the SELECT.
            auto sync = std::make_unique<sync_context>(_events_loop, _logger, ip, _port, _db);
            self->return_result(create_result(
                std::make_unique<context_impl>(_events_loop, _logger, std::move(_async), std::move(sync))));
        });
    });
    result->start();
    return result;
}

context_impl::context_impl(events_loop& _events_loop, const component_logger& _logger, async_context::ptr _async,
                           std::unique_ptr<sync_context> _sync)
    : m_events_loop(_events_loop), m_logger(_logger), m_async(std::move(_async)), m_sync(std::move(_sync)) {}

context_impl::~context_impl() {
    // The blocking connection first, then the non-blocking one.
    m_sync.reset();
    m_async.reset();
}

template <typename... Words>
command::ptr context_impl::build(Words&&... _words) {
    auto result = std::make_unique<command_impl>(m_events_loop, m_logger, *m_sync, *m_async);
    result->reserve(sizeof...(Words));
    (result->add_argument(std::string(std::forward<Words>(_words))), ...);
    return result;
}

command::ptr context_impl::get(std::string _key) {
    return build("GET", std::move(_key));
}

command::ptr context_impl::set(std::string _key, std::string _value) {
    return build("SET", std::move(_key), std::move(_value));
}

command::ptr context_impl::del(std::string _key) {
    return build("DEL", std::move(_key));
}

command::ptr context_impl::add_to_set(std::string _key) {
    return build("SADD", std::move(_key));
}

command::ptr context_impl::add_to_set(std::string _key, std::string _value) {
    return build("SADD", std::move(_key), std::move(_value));
}

command::ptr context_impl::remove_from_set(std::string _key, std::string _value) {
    return build("SREM", std::move(_key), std::move(_value));
}

command::ptr context_impl::get_set_members(std::string _key) {
    return build("SMEMBERS", std::move(_key));
}

command::ptr context_impl::get_table(std::string _table) {
    return build("HGETALL", std::move(_table));
}

command::ptr context_impl::get_from_table(std::string _table, std::string _field) {
    return build("HGET", std::move(_table), std::move(_field));
}

command::ptr context_impl::get_from_table_multi(std::string _table) {
    return build("HMGET", std::move(_table));
}

command::ptr context_impl::set_to_table(std::string _table, std::string _field, std::string _value) {
    return build("HSET", std::move(_table), std::move(_field), std::move(_value));
}

command::ptr context_impl::set_to_table_multi(std::string _table) {
    return build("HMSET", std::move(_table));
}

command::ptr context_impl::increment_in_table(std::string _table, std::string _field, std::string _value) {
    return build("HINCRBY", std::move(_table), std::move(_field), std::move(_value));
}

command::ptr context_impl::delete_from_table(std::string _table, std::string _field) {
    return build("HDEL", std::move(_table), std::move(_field));
}

iteration_result context_impl::scan(boost::string_view _pattern, callback _callback) {
    int cursor = 0;
    do {
        const reply batch = create_command({"SCAN", std::to_string(cursor), "MATCH", std::string(_pattern)})->execute();
        const reply_array parts = batch.as_array();
        cursor = std::stoi(parts[0].to_string());
        const iteration_result offered = parts[1].as_array().for_each_element(
            [&](const reply_element& _key) { return _callback(_key.as_string_view()); });
        if (offered == iteration_result::interrupted) {
            return iteration_result::interrupted;
        }
    } while (cursor != 0);
    return iteration_result::finished;
}

command::ptr context_impl::create_command(args _args) {
    auto result = std::make_unique<command_impl>(m_events_loop, m_logger, *m_sync, *m_async);
    result->reserve(_args.size());
    for (auto& argument : _args) {
        result->add_argument(std::move(argument));
    }
    return result;
}

}  // namespace orq::libs::core::redis
