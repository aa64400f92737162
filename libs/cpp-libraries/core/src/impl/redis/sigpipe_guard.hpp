#pragma once

#include <signal.h>
#include <time.h>

namespace orq::libs::core::redis::detail {

// hiredis writes with write(2): a write to a connection the server has
// already closed raises SIGPIPE, which would end the process. While this
// guard lives SIGPIPE is blocked on the calling thread, and a SIGPIPE raised
// meanwhile is consumed before it is unblocked (the write fails with EPIPE
// instead, and hiredis reports that).
class sigpipe_guard {
public:
    sigpipe_guard() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        m_was_pending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }

    ~sigpipe_guard() {
        if (!m_was_pending) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec none{0, 0};
                sigtimedwait(&m_pipe, nullptr, &none);
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }

    sigpipe_guard(const sigpipe_guard&) = delete;
    sigpipe_guard& operator=(const sigpipe_guard&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_old;
    bool m_was_pending = false;
};

}  // namespace orq::libs::core::redis::detail
