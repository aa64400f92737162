// Preloaded into the agent by a test: once the file named by
// ORQ_THROW_TRIGGER exists, the next epoll_wait of the main thread removes it
// and throws, so that an exception escapes the agent's loop. Every other call
// goes to the real epoll_wait.

#include <dlfcn.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

extern "C" int epoll_wait(int _epoll_fd, epoll_event* _events, int _max_events, int _timeout) {
    static const char* const trigger = std::getenv("ORQ_THROW_TRIGGER");
    // Only the main thread runs the agent's loop; the threads of libzmq and of
    // the signal handle wait too.
    if (trigger != nullptr && ::gettid() == ::getpid() && std::remove(trigger) == 0) {
        throw std::runtime_error("epoll_wait failed on purpose");
    }
    using epoll_wait_function = int (*)(int, epoll_event*, int, int);
    static const auto real = reinterpret_cast<epoll_wait_function>(::dlsym(RTLD_NEXT, "epoll_wait"));
    return real(_epoll_fd, _events, _max_events, _timeout);
}
