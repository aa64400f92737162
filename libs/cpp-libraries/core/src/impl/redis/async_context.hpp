#pragma once

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <hiredis/async.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
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
// The object outlives the hiredis connections it makes: connect() makes a new
// one after the last has gone. A connection is up once the server has
// accepted its SELECT; commands are refused at once while it is not. It goes
// when the server closes it or fails, when connecting (each of the TCP
// connect and the SELECT) takes longer than the connect time-out, when a
// command stays unanswered for the command time-out, or when drop() is
// called: every command still pending then gets a NIL reply. Each change is
// reported to the state callback on a later turn of the loop.
class async_context {
public:
    using ptr = std::shared_ptr<async_context>;
    using callback = std::function<void(reply)>;
    // true: up; false: gone, or never came up, with the reason.
    using state_callback = std::function<void(bool _up, const std::string& _reason)>;

    static constexpr std::chrono::milliseconds connect_timeout{1500};
    static constexpr std::chrono::milliseconds default_command_timeout{10000};

    // Receives the reply of one queued command, on the loop's thread, and is
    // destroyed right after; unless hiredis keeps calling it (a subscription
    // or MONITOR), in which case it lives as long as hiredis' connection does.
    //
    // Replies read in one readiness turn go to deliver_now(), in order, once
    // hiredis has returned and before anything else runs: the receiver may
    // hand the reply on at once. Any other reply (NIL for an abandoned
    // command, a subscription's messages) goes to deliver() from inside
    // hiredis: a receiver that runs user code there must keep hiredis'
    // context safe (the command handles post instead).
    class pending {
    public:
        virtual ~pending() = default;
        virtual void deliver(reply _reply) = 0;
        virtual void deliver_now(reply _reply) { deliver(std::move(_reply)); }

    private:
        friend class async_context;
        bool m_kept = false;
    };

    // Starts connecting; the handle delivers the context once it is up, or an
    // empty pointer when the first connection failed. A failure that hiredis
    // reports at once throws from here (and from restart()).
    static async_operation_handle<ptr>::ptr create(events_loop& _events_loop, const component_logger& _logger,
                                                   std::string _ip, int _port, int _db);

    // Starts connecting (connect()).
    async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port, int _db);
    ~async_context();
    async_context(const async_context&) = delete;
    async_context& operator=(const async_context&) = delete;

    void set_state_callback(state_callback _callback);
    // For the commands queued from now on.
    void set_command_timeout(std::chrono::milliseconds _timeout);

    // Starts a new connection unless one is up or being made; throws "Cannot
    // open connection to the redis server: ..." when hiredis cannot even
    // start (the name does not resolve, no memory).
    void connect();
    // Ends the current connection, if any, for the given reason.
    void drop(const std::string& _reason);
    bool is_up() const { return m_up; }

    // Queues one command (its words are copied by hiredis at once); the
    // callback receives the reply on the loop. Throws "Command: <name>, error"
    // when the command cannot be queued (the connection is not up, or no
    // words were given), and refuses subscriptions and MONITOR.
    void run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len, callback _callback);

    // The same for a command already in the protocol's form (format_command)
    // with _words words, the first of them _name: hiredis copies the text
    // without formatting it again. The caller has refused subscriptions and
    // MONITOR (refuse_subscription) when it formatted the text.
    void run_formatted(boost::string_view _text, std::size_t _words, boost::string_view _name,
                       std::unique_ptr<pending>&& _pending);

    // Entry points for hiredis.
    void add_read();
    void del_read();
    void add_write();
    void del_write();
    void cleanup();
    void connect_callback(int _status, const char* _error);
    // A reply of hiredis' context _context has arrived.
    void answered(const redisAsyncContext* _context) {
        if (_context == m_context) {
            ++m_answered;
        }
    }
    // hiredis will call the receiver again: it lives as long as the context.
    void keep(pending* _pending);

private:
    friend void clear_context(async_context& _context);

    void queue(boost::string_view _text, boost::string_view _name, std::unique_ptr<pending>&& _pending);
    // Forgets the current connection (hiredis' context is freed elsewhere)
    // and reports it gone.
    void forget(const std::string& _reason);
    // Frees a context that is not ours any more, at once or, while hiredis
    // is running, on a later turn of the loop. With _rethrow an exception
    // from a reply callback is thrown from here; without it it is logged.
    void release(redisAsyncContext* _context, bool _rethrow);
    void report(bool _up, std::string _reason);
    void arm_connect_timer(std::string _reason);
    void arm_reply_timer();
    void operate();
    void handle_read(const boost::system::error_code& _error);
    void handle_write(const boost::system::error_code& _error);
    // Runs redisAsyncHandleRead or redisAsyncHandleWrite; afterwards delivers
    // the replies read, re-arms the waits unless this object went away
    // meanwhile, and writes what the callbacks queued.
    void handle_io(void (*_handle)(redisAsyncContext*));
    // Whether hiredis' connection is established: its output buffer is then
    // ours to write.
    bool connected() const;
    // Writes hiredis' output buffer at the end of the current turn of the
    // loop: from handle_io when hiredis is running, else on a posted turn.
    void schedule_flush();
    // Writes as much of hiredis' output buffer as the socket takes now, and
    // waits for writability for the rest.
    void flush();
    // Waits on a new duplicate of hiredis' descriptor from now on.
    void renew_socket();

    events_loop& m_events_loop;
    const component_logger& m_logger;
    redisAsyncContext* m_context = nullptr;
    // A duplicate of hiredis' descriptor, used only to wait for readiness.
    boost::asio::ip::tcp::socket m_socket;
    std::string m_ip;
    int m_port;
    std::int32_t m_db;
    bool m_up = false;
    bool m_read_requested = false;
    bool m_write_requested = false;
    bool m_read_in_progress = false;
    bool m_write_in_progress = false;
    // A write wait has registered the descriptor for writability: it is
    // registered afresh (a new duplicate) once no wait is outstanding.
    bool m_renew_socket = false;
    // Commands were queued since the output buffer was last written.
    bool m_flush_due = false;
    bool m_flush_posted = false;
    // Replies read in this turn are being delivered: commands that their
    // receivers queue are written once all of them have run.
    bool m_delivering = false;
    state_callback m_state_callback;
    std::shared_ptr<bool> m_context_is_alive;
    // Counts the connections: waits and timers of an earlier one do nothing.
    std::uint64_t m_generation = 0;
    // Calls into hiredis in progress on this object: while there is one,
    // hiredis still uses its context after our callbacks return.
    int m_hiredis_depth = 0;
    std::chrono::milliseconds m_command_timeout = default_command_timeout;
    // Commands queued and answered on the current connection (the server
    // answers in order). While some are pending, a tick every eighth of the
    // command time-out notes how many had been queued by then: once a mark
    // is older than the time-out and not all of its commands are answered,
    // one of them has waited longer than that. This keeps the clock out of
    // each command.
    struct mark {
        std::chrono::steady_clock::time_point m_at;
        std::uint64_t m_queued;
    };
    std::uint64_t m_queued = 0;
    std::uint64_t m_answered = 0;
    std::deque<mark> m_marks;
    boost::asio::steady_timer m_reply_timer;
    bool m_reply_timer_armed = false;
    boost::asio::steady_timer m_connect_timer;
    std::vector<std::unique_ptr<pending>> m_kept;
};

}  // namespace orq::libs::core::redis
