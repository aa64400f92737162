// A process for the TCP acceptor test: the library's acceptor on 127.0.0.1
// (port chosen by the system) in a process that can open only a few more
// descriptors, so that accepting runs out of them.
//
//   tcp_accept_limit_probe <spare descriptors>
//
// Lowers RLIMIT_NOFILE so that no more than <spare> further descriptors can
// be opened (and holds 32 more, opened on /dev/null, as ballast), prints
// "port=<port>" and accepts: each connection is sent "hello" and kept open.
// On SIGUSR1 it goes on for another 350 ms (so that accepting meets the limit
// a few more times), then closes the ballast and prints "freed=<count>".
// SIGTERM ends it with status 0. Log lines go to standard error as well.
//
// The ballast is freed with plain close() rather than by destroying the
// library's sockets: while no descriptor is left, the type checks of
// sanitizer builds (which need a pipe for each type they meet first) cannot
// run, so nothing new may happen until descriptors are back.

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>
#include <core/tcp/manager.hpp>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace orq::libs::core;
using namespace std::chrono_literals;

namespace {

void say(const std::string& _line) {
    std::printf("%s\n", _line.c_str());
    std::fflush(stdout);
}

// The highest descriptor number in use.
int highest_descriptor() {
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    int highest = -1;
    while (dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] != '.') {
            highest = std::max(highest, std::atoi(entry->d_name));
        }
    }
    ::closedir(fds);
    return highest;
}

constexpr int ballast_size = 32;

// Lets the process open exactly _spare more descriptors besides the ballast
// it opens: the free numbers below the highest one in use are filled first.
bool limit_descriptors(int _spare, std::vector<int>& _ballast) {
    const int highest = highest_descriptor();
    if (highest < 0) {
        return false;
    }
    for (;;) {
        const int filler = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (filler < 0) {
            return false;
        }
        if (filler > highest) {
            ::close(filler);
            break;
        }
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(highest + 1 + _spare + ballast_size);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    for (int i = 0; i < ballast_size; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        _ballast.push_back(fd);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int spare = argc > 1 ? std::atoi(argv[1]) : 0;
    if (spare < 1) {
        std::fprintf(stderr, "usage: tcp_accept_limit_probe <spare descriptors>\n");
        return 2;
    }
    logger log("tcp-accept-limit-probe", "main");
    log.set_debug(true);
    auto root = core::create(log);
    auto loop = root->create_events_loop("main loop");
    auto acceptor = loop->get_tcp().listen("127.0.0.1", 0);
    std::vector<tcp::socket::ptr> kept;
    std::vector<int> ballast;
    boost::asio::signal_set signals(loop->get_io_context(), SIGUSR1, SIGTERM);
    boost::asio::steady_timer dwell(loop->get_io_context());
    std::function<void(const boost::system::error_code&, int)> on_signal = [&](const boost::system::error_code& _error,
                                                                               int _signal) {
        if (_error) {
            return;
        }
        if (_signal == SIGTERM) {
            loop->stop();
            return;
        }
        dwell.expires_after(350ms);
        dwell.async_wait([&](const boost::system::error_code& _wait_error) {
            if (!_wait_error) {
                for (const int fd : ballast) {
                    ::close(fd);
                }
                say("freed=" + std::to_string(ballast.size()));
                ballast.clear();
            }
        });
        signals.async_wait(on_signal);
    };
    signals.async_wait(on_signal);
    // Every path taken once before the limit holds, so that nothing of the
    // run below needs a descriptor of its own the first time (the type checks
    // of sanitizer builds do).
    log.log_error(boost::system::error_code(ENOENT, boost::system::system_category()), ORQ_SOURCE_LOCATION);
    log.info("listening on port %1%") % acceptor->local_endpoint().port();

    if (!limit_descriptors(spare, ballast)) {
        say(std::string("cannot limit descriptors: ") + std::strerror(errno));
        return 2;
    }
    acceptor->set_callback([&](tcp::socket::ptr _connection) {
        _connection->send("hello");
        kept.push_back(std::move(_connection));
    });
    say("port=" + std::to_string(acceptor->local_endpoint().port()));
    loop->run();
    return 0;
}
