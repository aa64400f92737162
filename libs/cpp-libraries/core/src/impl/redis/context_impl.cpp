#include "context_impl.hpp"

#include "command_impl.hpp"

#include "../ip_literal.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>
#include <system_error>
#include <utility>

namespace orq::libs::core::redis {

namespace {

constexpr std::chrono::milliseconds first_backoff{100};
constexpr std::chrono::milliseconds last_backoff{3200};

std::string text_of(const std::exception& _exception) {
    if (const auto* own = dynamic_cast<const exception*>(&_exception)) {
        return own->get_string_error();
    }
    return _exception.what();
}

}  // namespace

async_operation_handle<context_impl::create_result>::ptr context_impl::create(events_loop& _events_loop,
                                                                              const component_logger& _logger,
                                                                              boost::string_view _ip, int _port,
                                                                              int _db) {
    ::orq::libs::core::detail::checked_port(_port);
    using handle = async_operation_handle_impl<create_result>;
    auto result = handle::create(_events_loop, [&_events_loop, &_logger, ip = std::string(_ip), _port, _db](
                                                   const handle::ptr& _self, const std::weak_ptr<handle>& _weak) {
        const auto fail = [&_logger](const handle::ptr& _handle, const std::string& _reason) {
            _logger.error("%1%") % _reason;
            _handle->return_result(create_result());
        };
        async_context::ptr async;
        try {
            async = std::make_shared<async_context>(_events_loop, _logger, ip, _port, _db);
        } catch (const std::exception& e) {
            fail(_self, text_of(e));
            return;
        }
        // Holds the connecting context until its first report; the running
        // copy of the callback keeps it through the call.
        async->set_state_callback(
            [&_events_loop, &_logger, ip, _port, _db, _weak, async, fail](bool _up, const std::string& _reason) {
                async->set_state_callback(nullptr);
                const auto self = _weak.lock();
                if (!self) {
                    return;
                }
                if (!_up) {
                    fail(self, _reason);
                    return;
                }
                std::unique_ptr<sync_context> sync;
                try {
                    // Blocks the loop for the connect and the SELECT, each at
                    // most 1.5 s.
                    sync = std::make_unique<sync_context>(_events_loop, _logger, ip, _port, _db);
                } catch (const std::exception& e) {
                    fail(self, text_of(e));
                    return;
                }
                _logger.info("Connected to Redis %1%:%2% db %3%") % ip % _port % _db;
                self->return_result(create_result(
                    std::make_unique<context_impl>(_events_loop, _logger, async, std::move(sync), ip, _port, _db)));
            });
    });
    result->start();
    return result;
}

context_impl::context_impl(events_loop& _events_loop, const component_logger& _logger, async_context::ptr _async,
                           std::unique_ptr<sync_context> _sync, std::string _ip, int _port, int _db)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_async(std::move(_async)),
      m_sync(std::move(_sync)),
      m_ip(std::move(_ip)),
      m_port(_port),
      m_db(_db),
      m_retry_timer(_events_loop.get_io_context()),
      m_backoff(first_backoff) {
    m_async->set_state_callback([this](bool _up, const std::string& _reason) { on_async_state(_up, _reason); });
    // Both connections go and come back together.
    m_sync->set_lost_callback([this](const std::string& _reason) { m_async->drop(_reason); });
}

context_impl::~context_impl() {
    *m_alive = false;
    m_retry_timer.cancel();
    m_async->set_state_callback(nullptr);
    // The blocking connection first, then the non-blocking one.
    m_sync.reset();
    m_async.reset();
}

void context_impl::on_async_state(bool _up, const std::string& _reason) {
    if (!_up) {
        m_sync->drop(_reason);
        schedule_retry();
        set_connected(false, _reason);
        return;
    }
    if (!m_async->is_up()) {
        // Gone again meanwhile: that report follows.
        return;
    }
    try {
        m_sync->connect();
    } catch (const std::exception& e) {
        // Reported back as the non-blocking connection going.
        m_async->drop(text_of(e));
        return;
    }
    m_backoff = first_backoff;
    set_connected(true, std::string());
}

void context_impl::schedule_retry() {
    if (m_retry_pending) {
        return;
    }
    m_retry_pending = true;
    m_retry_timer.expires_after(m_backoff);
    m_backoff = std::min(m_backoff * 2, last_backoff);
    m_retry_timer.async_wait([this, alive = m_alive](const boost::system::error_code& _error) {
        if (!*alive) {
            return;
        }
        m_retry_pending = false;
        if (_error) {
            return;
        }
        try {
            m_async->connect();
        } catch (const std::exception&) {
            // hiredis could not even start (the name does not resolve now).
            schedule_retry();
        }
    });
}

void context_impl::set_connected(bool _connected, const std::string& _reason) {
    if (m_connected == _connected) {
        return;
    }
    m_connected = _connected;
    if (_connected) {
        m_logger.info("Connected to Redis %1%:%2% db %3%") % m_ip % m_port % m_db;
    } else {
        m_logger.info("Connection to Redis %1%:%2% lost: %3%") % m_ip % m_port % _reason;
    }
    if (m_connection_callback) {
        // A copy: the callback may replace itself, or destroy this object.
        const connection_callback callback = m_connection_callback;
        callback(_connected, _reason);
    }
}

void context_impl::set_connection_callback(connection_callback _callback) {
    m_connection_callback = std::move(_callback);
}

void context_impl::set_command_timeout(std::chrono::milliseconds _timeout) {
    m_async->set_command_timeout(_timeout);
    m_sync->set_command_timeout(_timeout);
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
    std::uint64_t cursor = 0;
    do {
        const reply batch = create_command({"SCAN", std::to_string(cursor), "MATCH", std::string(_pattern)})->execute();
        const reply_array parts = batch.as_array();
        // An unsigned 64-bit number in decimal, nothing else.
        const boost::string_view text = parts[0].as_string_view();
        const auto parsed = std::from_chars(text.data(), text.data() + text.size(), cursor);
        if (text.empty() || parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) {
            throw exception("Command: SCAN, error: malformed cursor " + std::string(text), ORQ_SOURCE_LOCATION);
        }
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
