// A process for the signal tests: a loop that stop_on_signals() stops.
//
//   signals_probe stop     prints "ready" once SIGINT and SIGTERM are caught,
//                          runs the loop, prints "received=<0|1>", exits 0.
//   signals_probe second   as stop, then waits until both signals have their
//                          default disposition again, prints "default", and
//                          waits (at most 60 s) for a signal to end it; exits 3
//                          if none does.
//   signals_probe two      two loops with a handle each (the second loop runs
//                          on a thread of its own); prints "ready" once both
//                          handles hold the signals, then "received=<a> <b>"
//                          after both loops have returned; exits 0.
//   signals_probe no-fds   makes the creation of file descriptors fail, then
//                          creates a handle (whose thread cannot register the
//                          signals), destroys it and prints "survived".

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/detail/throw_error.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

using namespace orq::libs::core;
using namespace std::chrono_literals;

namespace {

bool poll_until(const std::function<bool()>& _predicate, std::chrono::seconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (!_predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool disposition_is_default(int _signal) {
    struct sigaction current {};
    ::sigaction(_signal, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

bool both_caught() {
    return !disposition_is_default(SIGINT) && !disposition_is_default(SIGTERM);
}

bool both_default() {
    return disposition_is_default(SIGINT) && disposition_is_default(SIGTERM);
}

// How many signal sets of the process hold the signal. Several sets share one
// process-wide handler, so the disposition alone cannot tell how many there
// are; Boost.Asio keeps the count in its signal state.
std::size_t registrations(int _signal) {
    auto* state = boost::asio::detail::get_signal_state();
    boost::asio::detail::static_mutex::scoped_lock lock(state->mutex_);
    return state->registration_count_[_signal];
}

void say(const std::string& _line) {
    std::printf("%s\n", _line.c_str());
    std::fflush(stdout);
}

int run_stop(core& _core, bool _wait_for_second) {
    auto loop = _core.create_events_loop("main loop");
    auto work = loop->create_work();
    auto handle = loop->stop_on_signals();
    if (!poll_until(both_caught, 30s)) {
        say("never armed");
        return 2;
    }
    say("ready");
    loop->run();
    say(std::string("received=") + (handle->signal_is_received() ? "1" : "0"));
    if (!_wait_for_second) {
        return 0;
    }
    // The signal thread restores the dispositions on its own, without the
    // handle being destroyed.
    if (!poll_until(both_default, 30s)) {
        say("still caught");
        return 2;
    }
    say("default");
    std::this_thread::sleep_for(60s);
    say("survived");
    return 3;
}

int run_two(core& _core) {
    auto first_loop = _core.create_events_loop("first");
    auto second_loop = _core.create_events_loop("second");
    auto first_work = first_loop->create_work();
    auto second_work = second_loop->create_work();
    auto first = first_loop->stop_on_signals();
    auto second = second_loop->stop_on_signals();
    if (!poll_until([] { return registrations(SIGINT) == 2 && registrations(SIGTERM) == 2; }, 30s)) {
        say("never armed");
        return 2;
    }
    std::thread second_thread([&] { second_loop->run(); });
    say("ready");
    first_loop->run();
    second_thread.join();
    say(std::string("received=") + (first->signal_is_received() ? "1" : "0") + " " +
        (second->signal_is_received() ? "1" : "0"));
    return 0;
}

int run_no_fds(core& _core) {
    auto loop = _core.create_events_loop("main loop");
    // One handle that works, and the kind of exception the failing one will
    // meet, first: the type checks of sanitizer builds (which need a pipe of
    // their own the first time they see a type) then know the types involved.
    {
        auto handle = loop->stop_on_signals();
        if (!poll_until(both_caught, 30s)) {
            say("never armed");
            return 2;
        }
    }
    try {
        boost::asio::detail::throw_error(boost::asio::error::no_descriptors, "warm-up");
    } catch (...) {
        (void)exception_to_string();
    }
    // The lowest free descriptor number becomes the limit: no new descriptor
    // can be created from here on.
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    rlimit limited = original;
    limited.rlim_cur = static_cast<rlim_t>(lowest_free);
    if (::setrlimit(RLIMIT_NOFILE, &limited) != 0) {
        say(std::string("setrlimit failed: ") + std::strerror(errno));
        return 2;
    }
    { auto handle = loop->stop_on_signals(); }
    ::setrlimit(RLIMIT_NOFILE, &original);
    say(both_default() ? "survived" : "caught");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    logger log("signals-probe", "main");
    // Lines also go to standard error, where the tests can read them.
    log.set_debug(true);
    auto core = core::create(log);
    if (mode == "stop") {
        return run_stop(*core, false);
    }
    if (mode == "second") {
        return run_stop(*core, true);
    }
    if (mode == "two") {
        return run_two(*core);
    }
    if (mode == "no-fds") {
        return run_no_fds(*core);
    }
    std::fprintf(stderr, "usage: signals_probe stop|second|two|no-fds\n");
    return 2;
}
