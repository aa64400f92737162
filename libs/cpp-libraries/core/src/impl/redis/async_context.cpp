#include "async_context.hpp"

#include "reply_objects.hpp"
#include "sigpipe_guard.hpp"
#include "sync_context.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/exception.hpp>
#include <core/source_location.hpp>

// sdslen and sdssetlen, inline, for hiredis' output buffer (hiredis.h
// includes this header with C++ linkage, so its functions that are not
// inline cannot be linked from here).
#include <hiredis/sds.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace orq::libs::core::redis {

namespace {

// An exception thrown by one of our callbacks while hiredis is running it
// must not unwind through hiredis' C frames (its context would be left
// half-updated): it is kept here and rethrown once hiredis has returned.
// Everything runs on the loop's thread; each call site saves and restores
// what an outer call may have kept.
thread_local std::exception_ptr t_escaped;

void keep_escaped() noexcept {
    if (!t_escaped) {
        t_escaped = std::current_exception();
    }
}

async_context* cast(void* _data) {
    return static_cast<async_context*>(_data);
}

template <typename F>
void guarded(F&& _f) noexcept {
    try {
        _f();
    } catch (...) {
        keep_escaped();
    }
}

// hiredis' context once its owner has gone while hiredis was still using it
// (the owner was destroyed from inside one of its callbacks). Freed on a
// later turn of the loop, unless hiredis frees it first.
struct orphan {
    redisAsyncContext* m_context;
    std::vector<std::unique_ptr<async_context::pending>> m_kept;
};

void orphan_cleanup(void* _data) {
    static_cast<orphan*>(_data)->m_context = nullptr;
}

// Runs hiredis' free of a context; an exception that a reply callback threw
// meanwhile is returned.
std::exception_ptr free_context(redisAsyncContext* _context) {
    std::exception_ptr outer = std::exchange(t_escaped, nullptr);
    redisAsyncFree(_context);
    return std::exchange(t_escaped, std::move(outer));
}

// A command that cannot be queued; out of the way of the common path.
[[noreturn, gnu::cold, gnu::noinline]] void refuse_command(boost::string_view _name) {
    throw exception("Command: " + std::string(_name) + ", error", ORQ_SOURCE_LOCATION);
}

// A plain callback as the receiver of a reply.
class function_pending final : public async_context::pending {
public:
    explicit function_pending(async_context::callback _callback) : m_callback(std::move(_callback)) {}
    void deliver(reply _reply) override { m_callback(std::move(_reply)); }

private:
    async_context::callback m_callback;
};

// hiredis frees every reply right after its reply function returns. The
// reply function takes the reply whole instead, and marks it here so that the
// free that follows at once leaves it alone. One loop thread per connection,
// and nothing runs between the two calls but the reply function itself.
thread_local void* t_taken = nullptr;

void free_unless_taken(void* _reply) {
    if (_reply != nullptr && _reply == t_taken) {
        t_taken = nullptr;
        return;
    }
    detail::free_reply(static_cast<redisReply*>(_reply));
}

// The reader functions of every connection: replies from the pool, and
// free_unless_taken as the free function.
redisReplyObjectFunctions* taking_functions() {
    static redisReplyObjectFunctions functions = [] {
        redisReplyObjectFunctions result = detail::pool_reply_functions();
        result.freeObject = &free_unless_taken;
        return result;
    }();
    return &functions;
}

// Whether hiredis makes the replies of _context with taking_functions.
bool takes_replies(const redisAsyncContext* _context) {
    const redisReader* reader = _context->c.reader;
    return reader != nullptr && reader->fn != nullptr && reader->fn->freeObject == &free_unless_taken;
}

// hiredis goes on calling the receiver of a subscription or of MONITOR for
// every message: it then lives as long as hiredis' context.
void keep_receiver(redisAsyncContext* _context, async_context::pending* _receiver) {
    if (_context->data != nullptr) {
        cast(_context->data)->keep(_receiver);
    } else if (_context->ev.cleanup == &orphan_cleanup) {
        static_cast<orphan*>(_context->ev.data)->m_kept.emplace_back(_receiver);
    }
}

// A reply read in the current readiness turn, with its receiver, both owned,
// waiting for the end of the turn.
struct ready_reply {
    async_context::pending* m_receiver;
    redisReply* m_reply;
};

// The ready replies of every connection of this thread. Each readiness turn
// delivers those it added (from the size it found on) once hiredis has
// returned, and leaves the list as it found it: the list is a stack, and a
// turn inside a reply callback keeps to its own part.
thread_local std::vector<ready_reply> t_ready;
// Reads in progress on this thread: only their replies wait for the turn's end.
thread_local int t_reading = 0;

// Hands one ready reply to its receiver, and frees the receiver.
void hand_over(const ready_reply& _ready) {
    const std::unique_ptr<async_context::pending> receiver(_ready.m_receiver);
    receiver->deliver_now(reply(_ready.m_reply));
}

// Ready replies that their turn could not deliver (a receiver threw, or
// hiredis itself let an exception out): a posted turn delivers them, in order.
class later_replies {
public:
    later_replies(std::vector<ready_reply>::const_iterator _first, std::vector<ready_reply>::const_iterator _last,
                  events_loop& _loop)
        : m_replies(_first, _last), m_loop(&_loop) {}
    later_replies(later_replies&& _other) noexcept
        : m_replies(std::exchange(_other.m_replies, {})), m_loop(_other.m_loop) {}
    later_replies(const later_replies&) = delete;
    later_replies& operator=(const later_replies&) = delete;
    later_replies& operator=(later_replies&&) = delete;

    // Those never delivered (the loop went first).
    ~later_replies() {
        for (const ready_reply& ready : m_replies) {
            delete ready.m_receiver;
            detail::free_reply(ready.m_reply);
        }
    }

    void operator()();

private:
    std::vector<ready_reply> m_replies;
    events_loop* m_loop;
};

// Leaves _replies with _keep entries, posting those from _next on for a
// later turn.
void post_rest(std::vector<ready_reply>& _replies, std::size_t _next, std::size_t _keep, events_loop& _loop) {
    if (_next < _replies.size()) {
        later_replies rest(_replies.begin() + static_cast<std::ptrdiff_t>(_next), _replies.end(), _loop);
        _replies.resize(_keep);
        _loop.post(std::move(rest), source_location());
        return;
    }
    _replies.resize(_keep);
}

// Delivers _replies from _first on, in order, and leaves _first entries. A
// receiver that throws ends the turn: the replies after it wait for a posted
// turn, as they would have in the loop's queue. (One that stops the loop does
// not: the replies of the turn are all delivered before run() returns.)
void deliver_ready(std::vector<ready_reply>& _replies, std::size_t _first, events_loop& _loop) {
    std::size_t next = _first;
    try {
        // By index: a receiver may add to the list (and move it) meanwhile.
        while (next < _replies.size()) {
            hand_over(_replies[next++]);
        }
    } catch (...) {
        post_rest(_replies, next, _first, _loop);
        throw;
    }
    _replies.resize(_first);
}

void later_replies::operator()() {
    deliver_ready(m_replies, 0, *m_loop);
}

// The reply function of every command: hands the reply to its receiver
// without copying its text or elements.
void reply_function(redisAsyncContext* _context, void* _reply, void* _privdata) {
    auto* receiver = static_cast<async_context::pending*>(_privdata);
    auto* source = static_cast<redisReply*>(_reply);
    // The common case: a reply that one of our reads made with the pool's
    // functions waits, owned by the list, for the end of the turn.
    if (source != nullptr && t_reading > 0 && _context != nullptr && _context->data != nullptr &&
        (_context->c.flags & (REDIS_SUBSCRIBED | REDIS_MONITORING)) == 0 && takes_replies(_context)) {
        bool queued = false;
        try {
            t_ready.push_back({receiver, source});
            queued = true;
        } catch (...) {
            // No room: delivered the other way below.
        }
        if (queued) {
            cast(_context->data)->answered(_context);
            t_taken = source;
            return;
        }
    }
    const bool again = _context != nullptr && (_context->c.flags & (REDIS_SUBSCRIBED | REDIS_MONITORING)) != 0;
    std::unique_ptr<async_context::pending> owned(again ? nullptr : receiver);
    guarded([&] {
        if (again) {
            keep_receiver(_context, receiver);
        } else if (_context != nullptr && _context->data != nullptr) {
            cast(_context->data)->answered(_context);
        }
        if (source != nullptr && _context != nullptr && takes_replies(_context)) {
            // Owned by the result from here on, whatever the receiver does.
            reply result(source);
            t_taken = source;
            receiver->deliver(std::move(result));
            return;
        }
        auto* moved = static_cast<redisReply*>(std::calloc(1, sizeof(redisReply)));
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        if (source != nullptr) {
            // hiredis frees its reply after this call: it keeps the shell,
            // the text and the elements now belong to the moved reply.
            *moved = *source;
            source->str = nullptr;
            source->len = 0;
            source->element = nullptr;
            source->elements = 0;
        } else {
            // Abandoned: the connection went away before the reply came.
            moved->type = REDIS_REPLY_NIL;
        }
        reply result(moved);
        receiver->deliver(std::move(result));
    });
}

}  // namespace

extern "C" {

static void add_read_wrapper(void* _data) {
    guarded([&] { cast(_data)->add_read(); });
}

static void del_read_wrapper(void* _data) {
    guarded([&] { cast(_data)->del_read(); });
}

static void add_write_wrapper(void* _data) {
    guarded([&] { cast(_data)->add_write(); });
}

static void del_write_wrapper(void* _data) {
    guarded([&] { cast(_data)->del_write(); });
}

static void cleanup_wrapper(void* _data) {
    guarded([&] { cast(_data)->cleanup(); });
}

static void connect_callback_wrapper(const redisAsyncContext* _context, int _status) {
    auto* self = cast(_context->data);
    if (self == nullptr) {
        return;
    }
    guarded([&] {
        const std::string error = _context->errstr;
        if (_status == REDIS_ERR) {
            // hiredis frees its context as soon as this callback returns: no
            // hook may reach us after that, whatever the callback does to us.
            auto* context = const_cast<redisAsyncContext*>(_context);
            context->ev = {};
            context->data = nullptr;
        }
        self->connect_callback(_status, error.c_str());
    });
}

}  // extern "C"

void clear_context(async_context& _context) {
    _context.m_context = nullptr;
    _context.m_up = false;
    ++_context.m_generation;
    _context.m_queued = 0;
    _context.m_answered = 0;
    _context.m_marks.clear();
    _context.m_reply_timer_armed = false;
    _context.m_reply_timer.cancel();
    _context.m_connect_timer.cancel();
    // hiredis closes its descriptor; the duplicate is of no use any more, and
    // closing it ends the waits still outstanding.
    boost::system::error_code ignored;
    _context.m_socket.close(ignored);
}

void format_command(const std::vector<const char*>& _argv, const std::vector<std::size_t>& _argv_len,
                    std::string& _text) {
    // Room for the longest numbers; cut to what was written at the end.
    constexpr std::size_t number = 20;
    std::size_t size = 3 + number;
    for (const std::size_t length : _argv_len) {
        size += 5 + number + length;
    }
    _text.resize(size);
    char* out = _text.data();
    char* const end = out + size;
    const auto header = [&](char _kind, std::size_t _number) {
        *out++ = _kind;
        out = std::to_chars(out, end, _number).ptr;
        *out++ = '\r';
        *out++ = '\n';
    };
    header('*', _argv.size());
    for (std::size_t i = 0; i < _argv.size(); ++i) {
        header('$', _argv_len[i]);
        if (_argv_len[i] != 0) {
            std::memcpy(out, _argv[i], _argv_len[i]);
            out += _argv_len[i];
        }
        *out++ = '\r';
        *out++ = '\n';
    }
    _text.resize(static_cast<std::size_t>(out - _text.data()));
}

async_operation_handle<async_context::ptr>::ptr async_context::create(events_loop& _events_loop,
                                                                      const component_logger& _logger, std::string _ip,
                                                                      int _port, int _db) {
    using handle = async_operation_handle_impl<ptr>;
    auto result = handle::create(_events_loop, [&_events_loop, &_logger, _ip = std::move(_ip), _port, _db](
                                                   const handle::ptr& /*_self*/, const std::weak_ptr<handle>& _weak) {
        auto context = std::make_shared<async_context>(_events_loop, _logger, _ip, _port, _db);
        // The callback keeps the connecting context alive until its first
        // report; a failed context goes then, and a connected one lives on
        // in the delivered result.
        context->set_state_callback([context, _weak](bool _up, const std::string& /*_reason*/) {
            context->set_state_callback(nullptr);
            if (const auto self = _weak.lock()) {
                self->return_result(_up ? ptr(context) : ptr());
            }
        });
    });
    result->start();
    return result;
}

async_context::async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port,
                             int _db)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_socket(_events_loop.get_io_context()),
      m_ip(std::move(_ip)),
      m_port(_port),
      m_db(_db),
      m_context_is_alive(std::make_shared<bool>(true)),
      m_reply_timer(_events_loop.get_io_context()),
      m_connect_timer(_events_loop.get_io_context()) {
    connect();
}

void async_context::connect() {
    if (m_context != nullptr) {
        return;
    }
    redisAsyncContext* context = redisAsyncConnect(m_ip.c_str(), m_port);
    const auto fail = [&](const std::string& _text) {
        if (context != nullptr) {
            redisAsyncFree(context);
        }
        throw exception("Cannot open connection to the redis server: " + _text, ORQ_SOURCE_LOCATION);
    };
    if (context == nullptr) {
        fail("");
    }
    if (context->err != 0) {
        fail(context->errstr);
    }
    // A duplicate, so that closing the Asio socket never closes hiredis'
    // descriptor. Only readiness waits use it, so the family does not matter.
    const int descriptor = ::dup(context->c.fd);
    if (descriptor < 0) {
        fail(std::strerror(errno));
    }
    boost::system::error_code error;
    m_socket.close(error);
    m_socket.assign(boost::asio::ip::tcp::v4(), descriptor, error);
    if (error) {
        ::close(descriptor);
        fail(error.message());
    }
    ++m_generation;
    m_up = false;
    m_read_requested = m_write_requested = m_read_in_progress = m_write_in_progress = m_flush_due = false;
    m_renew_socket = false;
    m_context = context;
    // Replies are made in the pool's memory and taken whole rather than
    // copied into a new shell, unless hiredis was built to make them its own
    // way.
    if (redisReader* reader = m_context->c.reader;
        reader != nullptr && reader->fn != nullptr && reader->fn->freeObject == &freeReplyObject) {
        reader->fn = taking_functions();
    }
    m_context->ev.addRead = &add_read_wrapper;
    m_context->ev.delRead = &del_read_wrapper;
    m_context->ev.addWrite = &add_write_wrapper;
    m_context->ev.delWrite = &del_write_wrapper;
    m_context->ev.cleanup = &cleanup_wrapper;
    m_context->ev.data = this;
    m_context->data = this;
    arm_connect_timer("no connection within " + std::to_string(connect_timeout.count()) + " ms");
    // Asks for write readiness at once, through add_write: the first wait.
    redisAsyncSetConnectCallback(m_context, &connect_callback_wrapper);
}

async_context::~async_context() {
    *m_context_is_alive = false;
    m_state_callback = nullptr;
    if (redisAsyncContext* context = m_context) {
        m_context = nullptr;
        // Pending commands get NIL now rather than never (nothing would
        // drive the connection once we are gone).
        release(context, false);
    }
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void async_context::release(redisAsyncContext* _context, bool _rethrow) {
    // From here on nothing reaches this object from the context: the reply
    // callbacks that hiredis runs while freeing it may destroy this object.
    // The receivers that hiredis keeps calling go after its last call.
    auto left = std::make_shared<orphan>(orphan{_context, std::move(m_kept)});
    m_kept.clear();
    _context->ev = {};
    _context->ev.data = left.get();
    _context->ev.cleanup = &orphan_cleanup;
    _context->data = nullptr;
    if (m_hiredis_depth > 0) {
        // Inside one of hiredis' callbacks: hiredis goes on using its context
        // when the callback returns. It is freed on a later turn of the loop
        // instead (its pending commands then get NIL), unless hiredis frees
        // it first.
        m_events_loop.post(
            [left] {
                if (left->m_context == nullptr) {
                    return;
                }
                if (std::exception_ptr escaped = free_context(left->m_context)) {
                    std::rethrow_exception(escaped);
                }
            },
            source_location());
        return;
    }
    const component_logger& logger = m_logger;
    // Nothing of this object is used below.
    if (std::exception_ptr escaped = free_context(_context)) {
        if (_rethrow) {
            std::rethrow_exception(escaped);
        }
        try {
            std::rethrow_exception(escaped);
        } catch (...) {
            logger.log_exception(ORQ_SOURCE_LOCATION);
        }
    }
}

void async_context::set_state_callback(state_callback _callback) {
    m_state_callback = std::move(_callback);
}

void async_context::set_command_timeout(std::chrono::milliseconds _timeout) {
    m_command_timeout = _timeout;
}

void async_context::report(bool _up, std::string _reason) {
    m_events_loop.post(
        [this, alive = m_context_is_alive, _up, reason = std::move(_reason)] {
            if (!*alive || !m_state_callback) {
                return;
            }
            // A copy: the callback may replace itself, or destroy this object.
            const state_callback callback = m_state_callback;
            callback(_up, reason);
        },
        source_location());
}

void async_context::forget(const std::string& _reason) {
    clear_context(*this);
    report(false, _reason);
}

void async_context::drop(const std::string& _reason) {
    redisAsyncContext* context = m_context;
    if (context == nullptr) {
        return;
    }
    forget(_reason);
    release(context, true);
}

void async_context::arm_connect_timer(std::string _reason) {
    m_connect_timer.expires_after(connect_timeout);
    m_connect_timer.async_wait([this, alive = m_context_is_alive, generation = m_generation,
                                reason = std::move(_reason)](const boost::system::error_code& _error) {
        if (_error || !*alive || generation != m_generation || m_up) {
            return;
        }
        drop(reason);
    });
}

void async_context::arm_reply_timer() {
    m_reply_timer_armed = true;
    m_reply_timer.expires_after(std::max(m_command_timeout / 8, std::chrono::milliseconds(1)));
    m_reply_timer.async_wait(
        [this, alive = m_context_is_alive, generation = m_generation](const boost::system::error_code& /*_error*/) {
            if (!*alive || generation != m_generation) {
                return;
            }
            m_reply_timer_armed = false;
            while (!m_marks.empty() && m_marks.front().m_queued <= m_answered) {
                m_marks.pop_front();
            }
            if (m_answered == m_queued) {
                // Nothing pending: the next command starts the ticks again.
                m_marks.clear();
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            if (!m_marks.empty() && now - m_marks.front().m_at >= m_command_timeout) {
                drop("no reply within " + std::to_string(m_command_timeout.count()) + " ms");
                return;
            }
            m_marks.push_back({now, m_queued});
            arm_reply_timer();
        });
}

void async_context::keep(pending* _pending) {
    if (_pending->m_kept) {
        return;
    }
    _pending->m_kept = true;
    m_kept.emplace_back(_pending);
}

void async_context::run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len,
                                callback _callback) {
    // No words would be sent as an empty request that the server never
    // answers, and every later reply would go to the wrong callback.
    if (_argv.empty() || _argv.size() != _argv_len.size()) {
        refuse_command(_argv.empty() ? boost::string_view() : boost::string_view(_argv[0], _argv_len[0]));
    }
    const boost::string_view name(_argv[0], _argv_len[0]);
    refuse_subscription(name);
    std::string text;
    format_command(_argv, _argv_len, text);
    run_formatted(text, _argv.size(), name, std::make_unique<function_pending>(std::move(_callback)));
}

void async_context::run_formatted(boost::string_view _text, std::size_t _words, boost::string_view _name,
                                  std::unique_ptr<pending>&& _pending) {
    // No words would be sent as an empty request that the server never
    // answers, and every later reply would go to the wrong receiver.
    if (!m_up || _words == 0) {
        refuse_command(_name);
    }
    queue(_text, _name, std::move(_pending));
}

void async_context::queue(boost::string_view _text, boost::string_view _name, std::unique_ptr<pending>&& _pending) {
    if (m_context == nullptr || redisAsyncFormattedCommand(m_context, &reply_function, _pending.get(), _text.data(),
                                                           _text.size()) != REDIS_OK) {
        refuse_command(_name);
    }
    _pending.release();
    ++m_queued;
    if (!m_reply_timer_armed) {
        m_marks.push_back({std::chrono::steady_clock::now(), m_queued});
        arm_reply_timer();
    }
}

void async_context::add_read() {
    m_read_requested = true;
    operate();
}

void async_context::del_read() {
    m_read_requested = false;
}

void async_context::add_write() {
    m_write_requested = true;
    if (m_flush_due) {
        // Another command of this turn already asked for the write.
        return;
    }
    if (connected() && !m_write_in_progress) {
        // Commands were queued: they are written at the end of this turn,
        // together with whatever else it queues, without waiting for the
        // socket to report writability first.
        schedule_flush();
        return;
    }
    operate();
}

void async_context::del_write() {
    m_write_requested = false;
}

void async_context::cleanup() {
    // Our own free (the context is no longer ours) needs nothing; otherwise
    // hiredis is freeing it by itself: the server closed the connection or
    // failed. Every callback has run by now.
    if (m_context == nullptr) {
        return;
    }
    const std::string reason = m_context->c.err != 0 ? m_context->c.errstr : "connection closed";
    m_kept.clear();
    forget(reason);
}

void async_context::connect_callback(int _status, const char* _error) {
    if (_status != REDIS_OK) {
        forget(_error);
        return;
    }
    // hiredis sends in order: the switch precedes every user command.
    const std::string db = std::to_string(m_db);
    std::vector<const char*> argv{"SELECT", db.c_str()};
    std::vector<std::size_t> argv_len{6, db.size()};
    std::string text;
    format_command(argv, argv_len, text);
    queue(text, "SELECT",
          std::make_unique<function_pending>(
              [this, alive = std::weak_ptr<bool>(m_context_is_alive), generation = m_generation](reply _reply) {
                  const auto live = alive.lock();
                  if (!live || !*live || generation != m_generation) {
                      return;
                  }
                  if (_reply.get_type() == reply_type::NIL) {
                      // Abandoned: whatever dropped the connection reported why.
                      return;
                  }
                  if (_reply.get_type() == reply_type::ERROR) {
                      drop("Command: SELECT, error: " + _reply.to_string());
                      return;
                  }
                  m_up = true;
                  m_connect_timer.cancel();
                  report(true, std::string());
              }));
    arm_connect_timer("no reply to SELECT within " + std::to_string(connect_timeout.count()) + " ms");
}

void async_context::renew_socket() {
    m_renew_socket = false;
    const int descriptor = ::dup(m_context->c.fd);
    if (descriptor < 0) {
        // The old registration still serves, at the cost of the wake-ups.
        return;
    }
    boost::system::error_code error;
    m_socket.close(error);
    m_socket.assign(boost::asio::ip::tcp::v4(), descriptor, error);
    if (error) {
        ::close(descriptor);
        // Nothing left to wait on: the connection cannot go on.
        drop("cannot wait for the connection: " + error.message());
    }
}

bool async_context::connected() const {
    return m_context != nullptr && (m_context->c.flags & REDIS_CONNECTED) != 0;
}

void async_context::schedule_flush() {
    m_flush_due = true;
    if (m_hiredis_depth > 0 || m_delivering || m_flush_posted) {
        return;
    }
    m_flush_posted = true;
    m_events_loop.post(
        [this, alive = m_context_is_alive] {
            if (!*alive) {
                return;
            }
            m_flush_posted = false;
            if (m_flush_due) {
                flush();
            }
        },
        source_location());
}

void async_context::flush() {
    m_flush_due = false;
    if (!connected()) {
        operate();
        return;
    }
    redisContext& context = m_context->c;
    for (;;) {
        const std::size_t length = sdslen(context.obuf);
        if (length == 0) {
            // All written: what hiredis does after its own write.
            m_write_requested = false;
            m_read_requested = true;
            operate();
            return;
        }
        // MSG_NOSIGNAL: a connection that the server has closed fails the
        // send with EPIPE instead of raising SIGPIPE.
        const ssize_t written = ::send(context.fd, context.obuf, length, MSG_NOSIGNAL);
        if (written > 0) {
            const auto rest = length - static_cast<std::size_t>(written);
            // What hiredis does with what was written, in place.
            std::memmove(context.obuf, context.obuf + written, rest);
            sdssetlen(context.obuf, rest);
            context.obuf[rest] = '\0';
            if (rest > 0) {
                // The socket is full: the rest waits for writability.
                break;
            }
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            // The connection failed: hiredis' own write meets the same error
            // and reports it the usual way.
            handle_io([](redisAsyncContext* _context) {
                const detail::sigpipe_guard no_sigpipe;
                redisAsyncHandleWrite(_context);
            });
            return;
        }
    }
    m_write_requested = true;
    operate();
}

void async_context::operate() {
    if (m_context == nullptr) {
        return;
    }
    if (m_renew_socket && !m_read_in_progress && !m_write_in_progress) {
        renew_socket();
    }
    if (m_read_requested && !m_read_in_progress) {
        m_read_in_progress = true;
        m_socket.async_wait(
            boost::asio::ip::tcp::socket::wait_read,
            [this, alive = m_context_is_alive, generation = m_generation](const boost::system::error_code& _error) {
                if (*alive && generation == m_generation) {
                    handle_read(_error);
                }
            });
    }
    if (m_write_requested && !m_write_in_progress) {
        m_write_in_progress = true;
        m_socket.async_wait(
            boost::asio::ip::tcp::socket::wait_write,
            [this, alive = m_context_is_alive, generation = m_generation](const boost::system::error_code& _error) {
                if (*alive && generation == m_generation) {
                    handle_write(_error);
                }
            });
    }
}

void async_context::handle_read(const boost::system::error_code& _error) {
    m_read_in_progress = false;
    if (!_error) {
        handle_io(&redisAsyncHandleRead);
    } else if (_error == boost::asio::error::would_block) {
        operate();
    }
}

void async_context::handle_write(const boost::system::error_code& _error) {
    m_write_in_progress = false;
    // Asio keeps the descriptor registered for writability from now on, and
    // every send would wake the loop once more for nothing.
    m_renew_socket = true;
    if (!_error && connected()) {
        flush();
    } else if (!_error) {
        // Connecting: hiredis completes the connection and writes what its
        // connect callback queued.
        handle_io([](redisAsyncContext* _context) {
            const detail::sigpipe_guard no_sigpipe;
            redisAsyncHandleWrite(_context);
        });
    } else if (_error == boost::asio::error::would_block) {
        operate();
    }
}

void async_context::handle_io(void (*_handle)(redisAsyncContext*)) {
    if (m_context == nullptr) {
        return;
    }
    // A copy: the object may be destroyed inside hiredis (by a callback, or
    // when the failed connect drops its last owner), or by a reply's receiver.
    const auto alive = m_context_is_alive;
    events_loop& loop = m_events_loop;
    std::exception_ptr outer = std::exchange(t_escaped, nullptr);
    const bool reading = _handle == &redisAsyncHandleRead;
    const std::size_t ready = t_ready.size();
    ++m_hiredis_depth;
    t_reading += reading ? 1 : 0;
    _handle(m_context);
    t_reading -= reading ? 1 : 0;
    std::exception_ptr escaped = std::exchange(t_escaped, std::move(outer));
    if (*alive) {
        --m_hiredis_depth;
    }
    if (escaped) {
        // The exception ends this turn: the replies follow on the next.
        post_rest(t_ready, ready, ready, loop);
    } else if (t_ready.size() > ready) {
        // Commands that the receivers queue are written together afterwards.
        const bool delivering = *alive && std::exchange(m_delivering, true);
        try {
            deliver_ready(t_ready, ready, loop);
        } catch (...) {
            escaped = std::current_exception();
        }
        if (*alive) {
            m_delivering = delivering;
        }
    }
    if (*alive) {
        if (m_flush_due && m_hiredis_depth == 0 && !m_delivering && connected()) {
            if (escaped) {
                // The exception leaves this turn: the commands go on the next.
                schedule_flush();
            } else {
                flush();
            }
        }
        operate();
    }
    if (escaped) {
        std::rethrow_exception(escaped);
    }
}

}  // namespace orq::libs::core::redis
