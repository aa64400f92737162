#pragma once

#include "async_context.hpp"
#include "sync_context.hpp"

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/asio/steady_timer.hpp>
#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace orq::libs::core::redis {

// Both connections go and come back together: when the non-blocking one goes
// (or a blocking command finds its connection failed or timed out), the
// other is closed too, and after a back-off (100 ms, doubling up to 3.2 s)
// the non-blocking one is made again, then the blocking one. Each change is
// logged and reported to the connection callback.
class context_impl final : public context {
public:
    using create_result = boost::optional<std::unique_ptr<context>>;

    using connection_callback = std::function<void(bool _connected, boost::string_view _reason)>;

    // Opens the non-blocking connection, then (on the loop, once it is up)
    // the blocking one. The handle delivers the context, or, when either
    // failed, an empty optional, the reason logged as an error. A port
    // outside 0..65535 throws boost::system::system_error.
    static async_operation_handle<create_result>::ptr create(events_loop& _events_loop, const component_logger& _logger,
                                                             boost::string_view _ip, int _port, int _db);

    // Both connections up.
    context_impl(events_loop& _events_loop, const component_logger& _logger, async_context::ptr _async,
                 std::unique_ptr<sync_context> _sync, std::string _ip, int _port, int _db);
    ~context_impl() override;

    command::ptr get(std::string _key) override;
    command::ptr set(std::string _key, std::string _value) override;
    command::ptr del(std::string _key) override;
    command::ptr add_to_set(std::string _key) override;
    command::ptr add_to_set(std::string _key, std::string _value) override;
    command::ptr remove_from_set(std::string _key, std::string _value) override;
    command::ptr get_set_members(std::string _key) override;
    command::ptr get_table(std::string _table) override;
    command::ptr get_from_table(std::string _table, std::string _field) override;
    command::ptr get_from_table_multi(std::string _table) override;
    command::ptr set_to_table(std::string _table, std::string _field, std::string _value) override;
    command::ptr set_to_table_multi(std::string _table) override;
    command::ptr increment_in_table(std::string _table, std::string _field, std::string _value) override;
    command::ptr delete_from_table(std::string _table, std::string _field) override;
    iteration_result scan(boost::string_view _pattern, callback _callback) override;
    command::ptr create_command(args _args) override;
    void set_connection_callback(connection_callback _callback) override;
    void set_command_timeout(std::chrono::milliseconds _timeout) override;

private:
    // The non-blocking connection came up or went.
    void on_async_state(bool _up, const std::string& _reason);
    void schedule_retry();
    // Logs and reports a change; the callback may destroy this object.
    void set_connected(bool _connected, const std::string& _reason);

    // A command of the given words, each moved in.
    template <typename... Words>
    command::ptr build(Words&&... _words);

    events_loop& m_events_loop;
    const component_logger& m_logger;
    async_context::ptr m_async;
    std::unique_ptr<sync_context> m_sync;
    std::string m_ip;
    int m_port;
    int m_db;
    bool m_connected = true;
    connection_callback m_connection_callback;
    boost::asio::steady_timer m_retry_timer;
    bool m_retry_pending = false;
    std::chrono::milliseconds m_backoff;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace orq::libs::core::redis
