#include "asio_socket.hpp"

#include "blocked_threads.hpp"
#include "context.hpp"
#include "endpoint.hpp"
#include "error.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>

namespace orq::libs::core::zmq::detail {

// How libzmq signals readiness, and what this relies on:
// - ZMQ_FD is the socket's command mailbox. It turns readable when a command
//   arrives (a pipe became readable or writable, a peer came or went), always
//   as readable, and stops being readable when any libzmq call on the socket
//   processes the commands. Whether a frame can be received or sent is known
//   only from ZMQ_EVENTS, and reading ZMQ_EVENTS processes the commands too.
// - So any call that may have processed commands can swallow the signal that a
//   pending wait relies on. After such a call, whoever depends on the signal
//   (a pending asynchronous receive, a thread blocked in send or receive) is
//   told by checking ZMQ_EVENTS (process_mailbox_locked).
// - Two protocols wait for the signal, each on its own:
//   - the reactor protocol serves asynchronous receives on the io_context: a
//     queue of operations, a pump that receives for them, and at most one
//     reactor wait on the mailbox. The reactor watches the fd edge-triggered
//     and does not replay an edge that came while no wait was queued, so a
//     wait is queued only after a receive attempt and a ZMQ_EVENTS check have
//     both found nothing.
//   - the blocking-thread protocol serves send and receive on the caller's
//     thread: a thread that cannot proceed waits outside the lock, on the
//     mailbox and on a wake fd of its own (blocked_threads).
//
// The shared state, all of it under m_mutex:
//
//   member            set by                     cleared by               what it guarantees
//   ----------------  -------------------------  -----------------------  -----------------------------------
//   m_closed          close()                    never                    no libzmq call on the socket any
//                                                                         more; whatever starts later fails
//                                                                         with socket_closed_error()
//   m_cancels         cancel() and close(),      never: a count that      a repeating receive whose handler
//                     each adds one              only grows               ran meanwhile (out of the queue) is
//                                                                         ended, not queued again
//   m_pump_scheduled  schedule_pump_locked(),    pump(true), as it        at most one posted pump; while set,
//                     as it posts a pump         starts                   queued receives need no telling
//   m_in_handler      pump(), before it calls a  finish_handler(), once   one handler at a time: no other
//                     handler unlocked           the handler has left     pump runs, start_receive() posts
//                                                                         none; the running pump goes on
//   m_wait_armed      arm_wait_locked(), as it   on_readable(), when the  at most one reactor wait; cancel()
//                     queues the reactor wait    wait completes           cancels the descriptor only then
//   m_operations      start_receive(), and       pump() (a frame), the    receives complete in the order
//   (queue)           finish_handler() for a     fail_*_locked() (an      they were started, each once
//                     repeating receive          error, cancel, close)
//   m_blocked         a blocked thread, before   the same thread, once    whoever processes the mailbox wakes
//   (threads)         it waits unlocked          woken and locked again   those whose event is ready; close()
//                                                                         wakes all
//
// A receive relies on the reactor's wait exactly when one is queued while no
// pump is posted or running a handler (receive_relies_on_wait_locked).
class asio_socket::state : public std::enable_shared_from_this<state> {
public:
    state(boost::asio::io_context& _io_context, int _type);
    ~state();
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    boost::asio::io_context& io_context() const { return m_io_context; }
    bool is_open() const;

    // Single calls: _function(socket) runs once under the lock (again after
    // EINTR). _call names it in errors, with _target (an endpoint) if any.
    // invoke: throws the ZeroMQ error when _function returns a negative value.
    template <typename Function>
    int invoke(const char* _call, boost::string_view _target, Function&& _function);
    // try_invoke: the same for a non-blocking call; false when ZeroMQ answers
    // EAGAIN.
    template <typename Function>
    bool try_invoke(const char* _call, Function&& _function);
    bool try_send(message& _message, int _flags);
    bool try_receive(message& _message);
    void bind(const std::string& _endpoint);

    // Blocking-thread protocol.
    void send(message& _message, int _flags);
    message receive();

    // Reactor protocol.
    void start_receive(std::unique_ptr<receive_operation> _operation);
    void cancel(boost::system::error_code& _error);

    void close() noexcept;

private:
    // At most this many frames are handed out per turn, so that a flooded
    // socket does not starve the other handlers of the io_context.
    static constexpr int frames_per_turn = 256;

    // --- the mailbox signal, shared by both protocols ---

    void ensure_open_locked(const char* _call) const;
    // The call's result, or minus its ZeroMQ error number.
    template <typename Function>
    int attempt(Function&& _function);
    // Reads ZMQ_EVENTS (which processes the mailbox) and wakes the blocked
    // threads whose event is ready.
    int read_events_locked();
    bool receive_relies_on_wait_locked() const { return !m_operations.empty() && !m_pump_scheduled && !m_in_handler; }
    // read_events_locked(), and a pump for a receive that relies on the wait
    // when a frame is there.
    int process_mailbox_locked();
    // After any call on the socket: tells whoever depends on the signal.
    void after_call_locked();

    // --- reactor protocol ---

    void schedule_pump_locked();
    void arm_wait_locked();
    void pump(bool _posted);
    // After a handler of pump() returned or threw (called unlocked, returns
    // locked): a repeating operation is queued again, or ended if the socket
    // was cancelled or closed meanwhile; any other is destroyed first, outside
    // the lock, since its handler's state may call back into the socket.
    void finish_handler(std::unique_lock<std::mutex>& _lock, std::unique_ptr<receive_operation> _operation,
                        std::uint64_t _cancels);
    void on_readable(const boost::system::error_code& _error);
    void fail_operations_locked(const boost::system::error_code& _error);
    void fail_front_locked(const boost::system::error_code& _error);
    void fail_locked(std::unique_ptr<receive_operation> _operation, const boost::system::error_code& _error);

    // --- blocking-thread protocol ---

    // Repeats _attempt(socket) (a ZMQ_DONTWAIT call) until it succeeds, waiting
    // for _wanted (ZMQ_POLLIN or ZMQ_POLLOUT) while it answers EAGAIN.
    template <typename Attempt>
    void run_blocking(const char* _call, short _wanted, Attempt&& _attempt);

    boost::asio::io_context& m_io_context;
    std::shared_ptr<void> m_context;
    mutable std::mutex m_mutex;
    void* m_socket = nullptr;
    int m_fd = -1;
    boost::asio::posix::stream_descriptor m_descriptor;
    bool m_closed = false;
    std::uint64_t m_cancels = 0;
    // Reactor protocol.
    std::deque<std::unique_ptr<receive_operation>> m_operations;
    bool m_pump_scheduled = false;
    bool m_in_handler = false;
    bool m_wait_armed = false;
    // Blocking-thread protocol.
    blocked_threads m_blocked;
};

asio_socket::state::state(boost::asio::io_context& _io_context, int _type)
    : m_io_context(_io_context), m_context(acquire_context()), m_descriptor(_io_context) {
    m_socket = ::zmq_socket(m_context.get(), _type);
    if (m_socket == nullptr) {
        throw_error(::zmq_errno(), "zmq_socket");
    }
    int fd = -1;
    std::size_t size = sizeof fd;
    if (::zmq_getsockopt(m_socket, ZMQ_FD, &fd, &size) != 0) {
        const int error = ::zmq_errno();
        ::zmq_close(m_socket);
        throw_error(error, "zmq_getsockopt", "ZMQ_FD");
    }
    boost::system::error_code error;
    m_descriptor.assign(fd, error);
    if (error) {
        ::zmq_close(m_socket);
        throw_error(error, "assign", "ZMQ_FD");
    }
    m_fd = fd;
}

asio_socket::state::~state() {
    close();
}

bool asio_socket::state::is_open() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_closed;
}

void asio_socket::state::close() noexcept {
    std::shared_ptr<void> context;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_socket == nullptr) {
            m_closed = true;
            return;
        }
        m_closed = true;
        ++m_cancels;
        fail_operations_locked(boost::asio::error::operation_aborted);
        // Threads blocked in send or receive return with the closed-socket
        // error instead of waiting on a mailbox that libzmq releases.
        m_blocked.wake_all();
        // The fd belongs to libzmq: take it out of the reactor (which also
        // cancels the wait) without closing it, before libzmq closes it and
        // the number can be reused.
        if (m_descriptor.is_open()) {
            m_descriptor.release();
        }
        const int linger = 0;
        ::zmq_setsockopt(m_socket, ZMQ_LINGER, &linger, sizeof linger);
        ::zmq_close(m_socket);
        m_socket = nullptr;
        context = std::move(m_context);
    }
    // The last socket terminates the context here.
    context.reset();
}

// --- the mailbox signal ------------------------------------------------------

void asio_socket::state::ensure_open_locked(const char* _call) const {
    if (m_closed) {
        throw_error(socket_closed_error(), _call);
    }
}

template <typename Function>
int asio_socket::state::attempt(Function&& _function) {
    int result;
    do {
        result = _function(m_socket);
    } while (result < 0 && ::zmq_errno() == EINTR);
    const int error = result < 0 ? ::zmq_errno() : 0;
    after_call_locked();
    return result < 0 ? -error : result;
}

int asio_socket::state::read_events_locked() {
    int events = 0;
    std::size_t size = sizeof events;
    if (::zmq_getsockopt(m_socket, ZMQ_EVENTS, &events, &size) != 0) {
        // Let every waiter retry its operation, which then meets the error.
        events = ZMQ_POLLIN | ZMQ_POLLOUT;
    }
    if (!m_blocked.empty()) {
        m_blocked.wake(events);
    }
    return events;
}

int asio_socket::state::process_mailbox_locked() {
    const int events = read_events_locked();
    if ((events & ZMQ_POLLIN) != 0 && receive_relies_on_wait_locked()) {
        schedule_pump_locked();
    }
    return events;
}

void asio_socket::state::after_call_locked() {
    if (receive_relies_on_wait_locked() || !m_blocked.empty()) {
        process_mailbox_locked();
    }
}

// --- single calls ------------------------------------------------------------

template <typename Function>
int asio_socket::state::invoke(const char* _call, boost::string_view _target, Function&& _function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ensure_open_locked(_call);
    const int result = attempt(std::forward<Function>(_function));
    if (result < 0) {
        throw_error(-result, _call, _target);
    }
    return result;
}

template <typename Function>
bool asio_socket::state::try_invoke(const char* _call, Function&& _function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ensure_open_locked(_call);
    const int result = attempt(std::forward<Function>(_function));
    if (result >= 0) {
        return true;
    }
    if (result == -EAGAIN) {
        return false;
    }
    throw_error(-result, _call);
}

bool asio_socket::state::try_send(message& _message, int _flags) {
    return try_invoke("zmq_msg_send",
                      [&](void* _socket) { return ::zmq_msg_send(_message.handle(), _socket, _flags | ZMQ_DONTWAIT); });
}

bool asio_socket::state::try_receive(message& _message) {
    return try_invoke("zmq_msg_recv",
                      [&](void* _socket) { return ::zmq_msg_recv(_message.handle(), _socket, ZMQ_DONTWAIT); });
}

void asio_socket::state::bind(const std::string& _endpoint) {
    const boost::optional<dynamic_endpoint> dynamic = parse_dynamic_endpoint(_endpoint);
    if (!dynamic) {
        invoke("zmq_bind", _endpoint, [&](void* _socket) { return ::zmq_bind(_socket, _endpoint.c_str()); });
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ensure_open_locked("zmq_bind");
    const int error = bind_dynamic(*dynamic, start_port(*dynamic), [this](const std::string& _candidate) {
        return ::zmq_bind(m_socket, _candidate.c_str()) == 0 ? 0 : ::zmq_errno();
    });
    after_call_locked();
    if (error != 0) {
        throw_error(error, "zmq_bind", _endpoint);
    }
}

// --- reactor protocol --------------------------------------------------------

void asio_socket::state::start_receive(std::unique_ptr<receive_operation> _operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations.push_back(std::move(_operation));
    if (m_closed) {
        fail_operations_locked(socket_closed_error());
        return;
    }
    if (!m_in_handler) {
        schedule_pump_locked();
    }
}

void asio_socket::state::schedule_pump_locked() {
    if (m_pump_scheduled) {
        return;
    }
    m_pump_scheduled = true;
    boost::asio::post(m_io_context, [self = shared_from_this()] { self->pump(true); });
}

void asio_socket::state::arm_wait_locked() {
    if (m_wait_armed) {
        return;
    }
    m_descriptor.async_wait(
        boost::asio::posix::stream_descriptor::wait_read,
        [self = shared_from_this()](const boost::system::error_code& _error) { self->on_readable(_error); });
    m_wait_armed = true;
    // When the io_context is run by several threads, another thread's reactor
    // may have taken an edge between the ZMQ_EVENTS check and the queueing of
    // the wait. The mailbox stays readable until it is processed, so a look
    // now tells.
    pollfd readable{m_fd, POLLIN, 0};
    if (::poll(&readable, 1, 0) > 0) {
        schedule_pump_locked();
    }
}

void asio_socket::state::pump(bool _posted) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (_posted) {
        m_pump_scheduled = false;
    }
    if (m_closed || m_in_handler) {
        return;
    }
    int served = 0;
    // One message for the turn: each receive releases what it held before.
    message frame;
    while (!m_operations.empty()) {
        if (served == frames_per_turn) {
            schedule_pump_locked();
            return;
        }
        if (::zmq_msg_recv(frame.handle(), m_socket, ZMQ_DONTWAIT) >= 0) {
            ++served;
            std::unique_ptr<receive_operation> operation = std::move(m_operations.front());
            m_operations.pop_front();
            const std::uint64_t cancels = m_cancels;
            if (!m_blocked.empty()) {
                read_events_locked();
            }
            m_in_handler = true;
            lock.unlock();
            try {
                operation->complete(boost::system::error_code(), frame);
            } catch (...) {
                finish_handler(lock, std::move(operation), cancels);
                if (!m_closed && !m_operations.empty()) {
                    schedule_pump_locked();
                }
                throw;
            }
            finish_handler(lock, std::move(operation), cancels);
            if (m_closed) {
                return;
            }
            continue;
        }
        const int error = ::zmq_errno();
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EFSM) {
            // EFSM: a request/reply socket that must send first. Its receive
            // waits like any other until a frame can be received.
            const int events = read_events_locked();
            if ((events & ZMQ_POLLIN) != 0) {
                if (error == EFSM) {
                    fail_front_locked(make_error_code(error));
                }
                continue;
            }
            arm_wait_locked();
            return;
        }
        fail_front_locked(make_error_code(error));
    }
    if (!m_blocked.empty()) {
        read_events_locked();
    }
}

void asio_socket::state::finish_handler(std::unique_lock<std::mutex>& _lock,
                                        std::unique_ptr<receive_operation> _operation, std::uint64_t _cancels) {
    if (!_operation->repeating()) {
        _operation.reset();
        _lock.lock();
        m_in_handler = false;
        return;
    }
    _lock.lock();
    m_in_handler = false;
    if (m_closed || m_cancels != _cancels) {
        fail_locked(std::move(_operation), boost::asio::error::operation_aborted);
    } else {
        m_operations.push_back(std::move(_operation));
    }
}

void asio_socket::state::on_readable(const boost::system::error_code& _error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wait_armed = false;
        if (m_closed) {
            return;
        }
        if (_error && _error != boost::asio::error::operation_aborted) {
            fail_operations_locked(_error);
            return;
        }
        // A wait cancelled by cancel() may meet receives started since then.
        if (m_operations.empty()) {
            return;
        }
    }
    pump(false);
}

void asio_socket::state::fail_operations_locked(const boost::system::error_code& _error) {
    while (!m_operations.empty()) {
        fail_front_locked(_error);
    }
}

void asio_socket::state::fail_front_locked(const boost::system::error_code& _error) {
    std::unique_ptr<receive_operation> operation = std::move(m_operations.front());
    m_operations.pop_front();
    fail_locked(std::move(operation), _error);
}

void asio_socket::state::fail_locked(std::unique_ptr<receive_operation> _operation,
                                     const boost::system::error_code& _error) {
    boost::asio::post(m_io_context, [operation = std::move(_operation), _error]() mutable {
        message empty;
        operation->complete(_error, empty);
    });
}

void asio_socket::state::cancel(boost::system::error_code& _error) {
    _error.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) {
        return;
    }
    ++m_cancels;
    fail_operations_locked(boost::asio::error::operation_aborted);
    // Without a queued wait the io_context may run out of work and return.
    if (m_wait_armed) {
        m_descriptor.cancel(_error);
    }
}

// --- blocking-thread protocol --------------------------------------------------

template <typename Attempt>
void asio_socket::state::run_blocking(const char* _call, short _wanted, Attempt&& _attempt) {
    // The state outlives the wait even when another thread closes the socket
    // and drops it meanwhile; closing wakes the wait.
    const std::shared_ptr<state> keep_alive = shared_from_this();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        ensure_open_locked(_call);
        if (_attempt(m_socket) >= 0) {
            after_call_locked();
            return;
        }
        const int error = ::zmq_errno();
        if (error == EINTR) {
            continue;
        }
        if (error != EAGAIN) {
            after_call_locked();
            throw_error(error, _call);
        }
        // The check drains the mailbox: from here on, a new command makes the
        // fd readable, and whoever processes it under the lock finds this
        // thread in m_blocked and wakes it.
        if ((process_mailbox_locked() & _wanted) != 0) {
            continue;
        }
        m_blocked.wait(lock, m_fd, _wanted);
    }
}

void asio_socket::state::send(message& _message, int _flags) {
    if ((_flags & ZMQ_DONTWAIT) != 0) {
        invoke("zmq_msg_send", {}, [&](void* _socket) { return ::zmq_msg_send(_message.handle(), _socket, _flags); });
        return;
    }
    run_blocking("zmq_msg_send", ZMQ_POLLOUT,
                 [&](void* _socket) { return ::zmq_msg_send(_message.handle(), _socket, _flags | ZMQ_DONTWAIT); });
}

message asio_socket::state::receive() {
    message frame;
    run_blocking("zmq_msg_recv", ZMQ_POLLIN,
                 [&](void* _socket) { return ::zmq_msg_recv(frame.handle(), _socket, ZMQ_DONTWAIT); });
    return frame;
}

// --- asio_socket ---------------------------------------------------------------

asio_socket::asio_socket(boost::asio::io_context& _io_context, int _type)
    : m_state(std::make_shared<state>(_io_context, _type)) {}

asio_socket& asio_socket::operator=(asio_socket&& _other) noexcept {
    if (this != &_other) {
        close();
        m_state = std::move(_other.m_state);
    }
    return *this;
}

asio_socket::~asio_socket() {
    close();
}

asio_socket::state& asio_socket::checked_state(const char* _call) const {
    if (!m_state) {
        throw_error(socket_closed_error(), _call);
    }
    return *m_state;
}

boost::asio::io_context& asio_socket::get_io_context() const {
    return checked_state("get_io_context").io_context();
}

bool asio_socket::is_open() const noexcept {
    return m_state && m_state->is_open();
}

void asio_socket::connect(const std::string& _endpoint) {
    checked_state("zmq_connect").invoke("zmq_connect", _endpoint, [&](void* _socket) {
        return ::zmq_connect(_socket, _endpoint.c_str());
    });
}

void asio_socket::bind(const std::string& _endpoint) {
    checked_state("zmq_bind").bind(_endpoint);
}

void asio_socket::monitor(const std::string& _endpoint, int _events) {
    checked_state("zmq_socket_monitor").invoke("zmq_socket_monitor", _endpoint, [&](void* _socket) {
        return ::zmq_socket_monitor(_socket, _endpoint.empty() ? nullptr : _endpoint.c_str(), _events);
    });
}

void asio_socket::subscribe(boost::string_view _topic) {
    set_option(ZMQ_SUBSCRIBE, _topic.data(), _topic.size());
}

void asio_socket::set_option(int _option, const void* _value, std::size_t _size) {
    checked_state("zmq_setsockopt").invoke("zmq_setsockopt", {}, [&](void* _socket) {
        return ::zmq_setsockopt(_socket, _option, _value, _size);
    });
}

int asio_socket::get_int_option(int _option) const {
    int value = 0;
    std::size_t size = sizeof value;
    checked_state("zmq_getsockopt").invoke("zmq_getsockopt", {}, [&](void* _socket) {
        return ::zmq_getsockopt(_socket, _option, &value, &size);
    });
    return value;
}

std::string asio_socket::last_endpoint() const {
    char buffer[1024];
    std::size_t size = sizeof buffer;
    checked_state("zmq_getsockopt").invoke("zmq_getsockopt", "ZMQ_LAST_ENDPOINT", [&](void* _socket) {
        return ::zmq_getsockopt(_socket, ZMQ_LAST_ENDPOINT, buffer, &size);
    });
    // The size includes the terminating NUL.
    return std::string(buffer, size > 0 ? size - 1 : 0);
}

void asio_socket::send(message _message, int _flags) {
    checked_state("zmq_msg_send").send(_message, _flags);
}

bool asio_socket::try_send(message& _message, int _flags) {
    return checked_state("zmq_msg_send").try_send(_message, _flags);
}

message asio_socket::receive() {
    return checked_state("zmq_msg_recv").receive();
}

bool asio_socket::try_receive(message& _message) {
    return checked_state("zmq_msg_recv").try_receive(_message);
}

void asio_socket::start_receive(std::unique_ptr<receive_operation> _operation) {
    checked_state("async_receive").start_receive(std::move(_operation));
}

void asio_socket::cancel() {
    boost::system::error_code error;
    cancel(error);
    if (error) {
        throw_error(error, "cancel");
    }
}

void asio_socket::cancel(boost::system::error_code& _error) noexcept {
    _error.clear();
    if (m_state) {
        m_state->cancel(_error);
    }
}

void asio_socket::close() noexcept {
    if (m_state) {
        m_state->close();
    }
}

}  // namespace orq::libs::core::zmq::detail
