#pragma once

#include <core/redis/command.hpp>
#include <core/stl.hpp>

#include <boost/utility/string_view.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::redis {

// Key/value, set and hash operations, key scanning and arbitrary commands
// against one Redis server and database, over two connections (a blocking
// one for execute(), a non-blocking one driven by the loop for
// execute_async()). Created by events_loop::create_redis_context; used on the
// loop's thread only.
//
// Every command gives up after the command time-out (10 s unless set). When
// the connection goes (the server went away or failed, or a command timed
// out), commands still pending get NIL, later ones fail at once, and both
// connections are made again in the background (back-off from 100 ms to a
// few seconds), on the same database. Subscriptions and MONITOR are refused:
// they need a connection of their own.
class context {
public:
    using ptr = std::unique_ptr<context>;
    using callback = std::function<bool(boost::string_view)>;
    using args = std::vector<std::string>;

    virtual ~context() = default;

    virtual command::ptr get(std::string _key) = 0;
    virtual command::ptr set(std::string _key, std::string _value) = 0;
    virtual command::ptr del(std::string _key) = 0;
    // SADD with the key only: members are added with add_argument.
    virtual command::ptr add_to_set(std::string _key) = 0;
    virtual command::ptr add_to_set(std::string _key, std::string _value) = 0;
    virtual command::ptr remove_from_set(std::string _key, std::string _value) = 0;
    virtual command::ptr get_set_members(std::string _key) = 0;
    virtual command::ptr get_table(std::string _table) = 0;
    virtual command::ptr get_from_table(std::string _table, std::string _field) = 0;
    // HMGET with the table only: fields are added with add_argument.
    virtual command::ptr get_from_table_multi(std::string _table) = 0;
    virtual command::ptr set_to_table(std::string _table, std::string _field, std::string _value) = 0;
    // HMSET with the table only: field/value pairs are added with add_argument.
    virtual command::ptr set_to_table_multi(std::string _table) = 0;
    // The increment as decimal text.
    virtual command::ptr increment_in_table(std::string _table, std::string _field, std::string _value) = 0;
    virtual command::ptr delete_from_table(std::string _table, std::string _field) = 0;
    // Offers every key matching the pattern (blocking SCAN batches) to the
    // callback, whose view is valid during the call only; a callback that
    // returns false ends the scan (interrupted) without another SCAN.
    virtual iteration_result scan(boost::string_view _pattern, callback _callback) = 0;
    // The given words, in order.
    virtual command::ptr create_command(args _args) = 0;
    // Called on the loop's thread each time the connection goes (false, with
    // the reason) or comes back (true, empty reason).
    virtual void set_connection_callback(
        std::function<void(bool _connected, boost::string_view _reason)> _callback) = 0;
    // How long execute(), each SCAN batch and each asynchronous command may
    // wait for the reply.
    virtual void set_command_timeout(std::chrono::milliseconds _timeout) = 0;
};

}  // namespace orq::libs::core::redis
