#include "async_context.hpp"

#include "sigpipe_guard.hpp"

#include <core/async_operation_handle_impl.hpp>
#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <unistd.h>

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
};

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
    freeReplyObject(_reply);
}

// hiredis' reply functions with free_unless_taken as the free function, set
// up from those of the first connection.
redisReplyObjectFunctions* taking_functions(const redisReplyObjectFunctions& _defaults) {
    static redisReplyObjectFunctions functions = [&] {
        redisReplyObjectFunctions result = _defaults;
        result.freeObject = &free_unless_taken;
        return result;
    }();
    return &functions;
}

// The reply function of every command: hands the reply to its receiver
// without copying its text or elements.
void reply_function(redisAsyncContext* _context, void* _reply, void* _privdata) {
    std::unique_ptr<async_context::pending> receiver(static_cast<async_context::pending*>(_privdata));
    guarded([&] {
        auto* source = static_cast<redisReply*>(_reply);
        if (source != nullptr && _context != nullptr && _context->c.reader != nullptr &&
            _context->c.reader->fn != nullptr && _context->c.reader->fn->freeObject == &free_unless_taken) {
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

static void orphan_cleanup_wrapper(void* _data) {
    static_cast<orphan*>(_data)->m_context = nullptr;
}

static void connect_callback_wrapper(const redisAsyncContext* _context, int _status) {
    auto* self = cast(_context->data);
    if (self == nullptr) {
        return;
    }
    guarded([&] {
        if (_status == REDIS_ERR) {
            // hiredis frees its context as soon as this callback returns: no
            // hook may reach us after that, whatever the callback does to us.
            auto* context = const_cast<redisAsyncContext*>(_context);
            context->ev = {};
            context->data = nullptr;
            clear_context(*self);
        }
        self->connect_callback(_status);
    });
}

}  // extern "C"

void clear_context(async_context& _context) {
    _context.m_context = nullptr;
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
        // The callback keeps the connecting context alive; it is dropped
        // after its one call, so a failed context goes then, and a
        // connected one lives on in the delivered result.
        context->set_connect_callback([context, _weak](int _status) {
            const auto self = _weak.lock();
            if (!self) {
                return;
            }
            self->return_result(_status == REDIS_OK ? ptr(context) : ptr());
        });
    });
    result->start();
    return result;
}

async_context::async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port,
                             int _db)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_context(redisAsyncConnect(_ip.c_str(), _port)),
      m_socket(_events_loop.get_io_context()),
      m_db(_db),
      m_context_is_alive(std::make_shared<bool>(false)) {
    const auto fail = [this](const std::string& _text) {
        if (m_context != nullptr) {
            redisAsyncFree(m_context);
            m_context = nullptr;
        }
        throw exception("Cannot open connection to the redis server: " + _text, ORQ_SOURCE_LOCATION);
    };
    if (m_context == nullptr) {
        fail("");
    }
    if (m_context->err != 0) {
        fail(m_context->errstr);
    }
    // A duplicate, so that closing the Asio socket never closes hiredis'
    // descriptor. Only readiness waits use it, so the family does not matter.
    const int descriptor = ::dup(m_context->c.fd);
    if (descriptor < 0) {
        fail(std::strerror(errno));
    }
    boost::system::error_code error;
    m_socket.assign(boost::asio::ip::tcp::v4(), descriptor, error);
    if (error) {
        ::close(descriptor);
        fail(error.message());
    }
    // Replies are taken whole rather than copied into a new shell, provided
    // hiredis frees them the usual way.
    if (redisReader* reader = m_context->c.reader;
        reader != nullptr && reader->fn != nullptr && reader->fn->freeObject == &freeReplyObject) {
        reader->fn = taking_functions(*reader->fn);
    }
    m_context->ev.addRead = &add_read_wrapper;
    m_context->ev.delRead = &del_read_wrapper;
    m_context->ev.addWrite = &add_write_wrapper;
    m_context->ev.delWrite = &del_write_wrapper;
    m_context->ev.cleanup = &cleanup_wrapper;
    m_context->ev.data = this;
    m_context->data = this;
    // Asks for write readiness at once, through add_write: the first wait.
    redisAsyncSetConnectCallback(m_context, &connect_callback_wrapper);
    *m_context_is_alive = true;
}

async_context::~async_context() {
    *m_context_is_alive = false;
    if (m_context != nullptr) {
        if (m_hiredis_depth > 0) {
            // Destroyed from inside one of hiredis' callbacks: hiredis goes on
            // using its context when the callback returns. It is freed on a
            // later turn of the loop instead (its pending commands then get
            // NIL), unless hiredis frees it first; nothing reaches this object
            // any more.
            auto left = std::make_shared<orphan>(orphan{m_context});
            m_context->ev = {};
            m_context->ev.data = left.get();
            m_context->ev.cleanup = &orphan_cleanup_wrapper;
            m_context->data = nullptr;
            m_events_loop.post(
                [left] {
                    if (left->m_context == nullptr) {
                        return;
                    }
                    std::exception_ptr outer = std::exchange(t_escaped, nullptr);
                    redisAsyncFree(left->m_context);
                    std::exception_ptr escaped = std::exchange(t_escaped, std::move(outer));
                    if (escaped) {
                        std::rethrow_exception(escaped);
                    }
                },
                source_location());
            m_context = nullptr;
        } else {
            // Frees at once: pending commands get NIL now rather than never
            // (nothing would drive the connection once we are gone).
            std::exception_ptr outer = std::exchange(t_escaped, nullptr);
            redisAsyncFree(m_context);
            std::exception_ptr escaped = std::exchange(t_escaped, std::move(outer));
            if (escaped) {
                try {
                    std::rethrow_exception(escaped);
                } catch (...) {
                    m_logger.log_exception(ORQ_SOURCE_LOCATION);
                }
            }
        }
    }
    m_context_is_alive.reset();
    m_connect_callback = nullptr;
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void async_context::set_connect_callback(std::function<void(int)> _callback) {
    m_connect_callback = std::move(_callback);
}

void async_context::run_command(std::vector<const char*>& _argv, std::vector<std::size_t>& _argv_len,
                                callback _callback) {
    const auto failed = [&] {
        const std::string name = _argv.empty() ? std::string() : std::string(_argv[0], _argv_len[0]);
        return exception("Command: " + name + ", error", ORQ_SOURCE_LOCATION);
    };
    // No words would be sent as an empty request that the server never
    // answers, and every later reply would go to the wrong callback.
    if (m_context == nullptr || _argv.empty() || _argv.size() != _argv_len.size()) {
        throw failed();
    }
    std::string text;
    format_command(_argv, _argv_len, text);
    run_formatted(text, _argv.size(), boost::string_view(_argv[0], _argv_len[0]),
                  std::make_unique<function_pending>(std::move(_callback)));
}

void async_context::run_formatted(boost::string_view _text, std::size_t _words, boost::string_view _name,
                                  std::unique_ptr<pending> _pending) {
    // No words would be sent as an empty request that the server never
    // answers, and every later reply would go to the wrong receiver.
    if (m_context == nullptr || _words == 0 ||
        redisAsyncFormattedCommand(m_context, &reply_function, _pending.get(), _text.data(), _text.size()) !=
            REDIS_OK) {
        throw exception("Command: " + std::string(_name) + ", error", ORQ_SOURCE_LOCATION);
    }
    _pending.release();
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
    operate();
}

void async_context::del_write() {
    m_write_requested = false;
}

void async_context::cleanup() {
    clear_context(*this);
}

void async_context::connect_callback(int _status) {
    if (_status == REDIS_OK) {
        // hiredis sends in order: the switch precedes every user command.
        const std::string db = std::to_string(m_db);
        std::vector<const char*> argv{"SELECT", db.c_str()};
        std::vector<std::size_t> argv_len{6, db.size()};
        run_command(argv, argv_len, [](reply) {});
    }
    // Moved out first: the callback may hold the last reference to this
    // object, which then goes when `callback` does, not while a member is
    // being assigned.
    auto callback = std::move(m_connect_callback);
    m_connect_callback = nullptr;
    if (callback) {
        callback(_status);
    }
}

void async_context::operate() {
    if (m_context == nullptr) {
        return;
    }
    if (m_read_requested && !m_read_in_progress) {
        m_read_in_progress = true;
        m_socket.async_wait(boost::asio::ip::tcp::socket::wait_read,
                            [this, alive = m_context_is_alive](const boost::system::error_code& _error) {
                                if (*alive) {
                                    handle_read(_error);
                                }
                            });
    }
    if (m_write_requested && !m_write_in_progress) {
        m_write_in_progress = true;
        m_socket.async_wait(boost::asio::ip::tcp::socket::wait_write,
                            [this, alive = m_context_is_alive](const boost::system::error_code& _error) {
                                if (*alive) {
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
    if (!_error) {
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
    // when the failed connect drops its last owner).
    const auto alive = m_context_is_alive;
    std::exception_ptr outer = std::exchange(t_escaped, nullptr);
    ++m_hiredis_depth;
    _handle(m_context);
    std::exception_ptr escaped = std::exchange(t_escaped, std::move(outer));
    if (*alive) {
        --m_hiredis_depth;
        operate();
    }
    if (escaped) {
        std::rethrow_exception(escaped);
    }
}

}  // namespace orq::libs::core::redis
