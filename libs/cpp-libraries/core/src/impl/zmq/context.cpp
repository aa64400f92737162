#include "context.hpp"

#include "error.hpp"

#include <zmq.h>

#include <cerrno>
#include <mutex>

namespace orq::libs::core::zmq::detail {

namespace {

struct registry {
    std::mutex mutex;
    std::weak_ptr<void> current;
    std::uint64_t created = 0;
};

// Never destroyed, so that a socket closed during static destruction still
// finds it.
registry& the_registry() {
    static registry* instance = new registry;
    return *instance;
}

void terminate_context(void* _context) noexcept {
    // Every socket of the context is closed with linger 0 by now, so this
    // returns as soon as libzmq's threads have stopped.
    while (::zmq_ctx_term(_context) != 0 && ::zmq_errno() == EINTR) {
    }
}

}  // namespace

std::shared_ptr<void> acquire_context() {
    registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (auto context = r.current.lock()) {
        return context;
    }
    void* raw = ::zmq_ctx_new();
    if (raw == nullptr) {
        throw_error(::zmq_errno(), "zmq_ctx_new");
    }
    // A context whose last owner is going away may still be terminating on
    // another thread; the new one is independent of it.
    std::shared_ptr<void> context(raw, terminate_context);
    r.current = context;
    ++r.created;
    return context;
}

std::uint64_t contexts_created() noexcept {
    registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.created;
}

bool context_alive() noexcept {
    registry& r = the_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return !r.current.expired();
}

}  // namespace orq::libs::core::zmq::detail
