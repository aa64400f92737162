#pragma once

#include <mutex>
#include <vector>

namespace orq::libs::core::zmq::detail {

// The threads blocked in a socket's send or receive. Each waits outside the
// socket's lock, on the socket's mailbox fd (ZMQ_FD) and on an eventfd of its
// own, so several may wait at once while others call libzmq. Whoever processes
// the mailbox under the lock may take the signal a thread waits for, and then
// wakes it; closing the socket wakes them all.
//
// Every member is called under the socket's lock; wait() releases it while it
// blocks.
class blocked_threads {
public:
    bool empty() const { return m_waiters.empty(); }

    // Wakes the threads that wait for any of _events (ZMQ_POLLIN, ZMQ_POLLOUT).
    void wake(int _events) const;
    // Wakes every thread: the socket is going away.
    void wake_all() const;

    // Blocks the calling thread, with _lock released, until _mailbox_fd turns
    // readable or wake() is called for _wanted. Returns with _lock held.
    // Throws boost::system::system_error (system category) when the thread's
    // eventfd cannot be made.
    void wait(std::unique_lock<std::mutex>& _lock, int _mailbox_fd, short _wanted);

private:
    struct waiter {
        short events;
        int wake_fd;
    };

    std::vector<const waiter*> m_waiters;
};

}  // namespace orq::libs::core::zmq::detail
