#pragma once

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/async.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orq::libs::core::redis {

class async_context;

// Forgets hiredis' context (hiredis frees it, or has freed it).
void clear_context(async_context& _context);

// Writes the words of one command in the protocol's form (what hiredis would
// send for them) into _text, replacing its content.
void format_command(const std::vector<const char*>& _argv, const std::vector<std::size_t>& _argv_len,
                    std::string& _text);

// A non-blocking connection to a Redis server driven by one event loop:
// hiredis does the protocol work and asks, through its event hooks, for
// readiness waits that run on the loop. Everything happens on the loop's
// thread.
//
// hiredis frees its context by itself when the connection fails or the server
// goes away; the cleanup hook tells us, and from then on every command throws
// at once. Commands still pending at that point, or when this object is
// destroyed, get a NIL reply.
class async_context {
public:
    using ptr = std::shared_ptr<async_context>;
    using callback = std::function<void(reply)>;

    // Receives the reply of one queued command: deliver() is called exactly
    // once, on the loop, from inside hiredis (NIL when the command was
    // abandoned), and the object is destroyed right after.
    class pending {
    public:
        virtual ~pending() = default;
        virtual void deliver(reply _reply) = 0;
    };

    // Starts connecting; the handle delivers the connected context, or an
    // empty pointer when the connection failed. A failure that hiredis
    // reports at once throws from here (and from restart()).
    static async_operation_handle<ptr>::ptr create(events_loop& _events_loop, const component_logger& _logger,
                                                   std::string _ip, int _port, int _db);

    // Starts connecting; throws "Cannot open connection to the redis server: ..."
    // when hiredis cannot even start.
    async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port, int _db);
    ~async_context();
    async_context(const async_context&) = delete;
    async_context& operator=(const async_context&) = delete;

    // Called once with hiredis' connect status (REDIS_OK or REDIS_ERR).
    void set_connect_callback(std::function<void(int)> _callback);

    // Queues one command (its words are copied by hiredis at once); the
    // callback receives the reply on the loop. Throws "Command: <name>, error"
    // when the command cannot be queued (the connection has gone, or no
    // words were given).
    void run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len, callback _callback);

    // The same for a command already in the protocol's form (format_command)
    // with _words words, the first of them _name: hiredis copies the text
    // without formatting it again.
    void run_formatted(boost::string_view _text, std::size_t _words, boost::string_view _name,
                       std::unique_ptr<pending> _pending);

    // Entry points for hiredis.
    void add_read();
    void del_read();
    void add_write();
    void del_write();
    void cleanup();
    void connect_callback(int _status);

private:
    friend void clear_context(async_context& _context);

    void operate();
    void handle_read(const boost::system::error_code& _error);
    void handle_write(const boost::system::error_code& _error);
    // Runs redisAsyncHandleRead or redisAsyncHandleWrite; afterwards re-arms
    // the waits unless this object went away meanwhile.
    void handle_io(void (*_handle)(redisAsyncContext*));

    events_loop& m_events_loop;
    const component_logger& m_logger;
    redisAsyncContext* m_context;
    // A duplicate of hiredis' descriptor, used only to wait for readiness.
    boost::asio::ip::tcp::socket m_socket;
    std::int32_t m_db;
    bool m_read_requested = false;
    bool m_write_requested = false;
    bool m_read_in_progress = false;
    bool m_write_in_progress = false;
    std::function<void(int)> m_connect_callback;
    std::shared_ptr<bool> m_context_is_alive;
    // Calls into hiredis in progress on this object: while there is one,
    // hiredis still uses its context after our callbacks return.
    int m_hiredis_depth = 0;
};

}  // namespace orq::libs::core::redis
