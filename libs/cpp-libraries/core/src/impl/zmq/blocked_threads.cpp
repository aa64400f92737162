#include "blocked_threads.hpp"

#include "error.hpp"

#include <boost/system/error_code.hpp>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace orq::libs::core::zmq::detail {

namespace {

// The eventfd of the calling thread, made on its first blocking wait and
// closed when the thread ends. A thread waits on one socket at a time, so one
// is enough.
int thread_wake_fd() {
    struct holder {
        int fd = -1;
        ~holder() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    };
    thread_local holder wake;
    if (wake.fd < 0) {
        wake.fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake.fd < 0) {
            throw_error(boost::system::error_code(errno, boost::system::system_category()), "eventfd");
        }
    }
    return wake.fd;
}

void signal_wake_fd(int _fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(_fd, &one, sizeof one);
}

}  // namespace

void blocked_threads::wake(int _events) const {
    for (const waiter* blocked : m_waiters) {
        if ((blocked->events & _events) != 0) {
            signal_wake_fd(blocked->wake_fd);
        }
    }
}

void blocked_threads::wake_all() const {
    for (const waiter* blocked : m_waiters) {
        signal_wake_fd(blocked->wake_fd);
    }
}

void blocked_threads::wait(std::unique_lock<std::mutex>& _lock, int _mailbox_fd, short _wanted) {
    const waiter self{_wanted, thread_wake_fd()};
    m_waiters.push_back(&self);
    _lock.unlock();
    pollfd fds[2] = {{_mailbox_fd, POLLIN, 0}, {self.wake_fd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    _lock.lock();
    m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), &self));
    // Nobody writes the fd any more: clear it for the next wait.
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(self.wake_fd, &count, sizeof count);
}

}  // namespace orq::libs::core::zmq::detail
