// vusk-debug-agent: taps a ZeroMQ broker's output and writes every frame it
// receives as a line to a file or to standard output.

#include "application.hpp"
#include "config.hpp"
#include "service_notifier.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/pid_file.hpp>

#include <boost/optional.hpp>

#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>

namespace {

const std::string module_name = "vusk-debug-agent";
const std::string component_name = "main";

// Without a logger there is no log channel yet: standard error is all there is.
bool emplace_logger(boost::optional<orq::libs::core::logger>& _logger, const std::string& _module_name) {
    try {
        _logger.emplace(_module_name, component_name);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot create the logger: %s\n", _module_name.c_str(), e.what());
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    namespace core = orq::libs::core;

    // A reader that goes away shows as EPIPE on the write, which the tap
    // handles, rather than as a signal that ends the process unlogged.
    ::signal(SIGPIPE, SIG_IGN);

    boost::optional<core::logger> log;
    boost::optional<orq::config> config;
    if (!emplace_logger(log, module_name)) {
        return 1;
    }

    if (!log->execute([&] { config.emplace(argc, argv, *log); })) {
        return 1;
    }

    if (config->system.template_name) {
        // The same storage is reused, so the reference the configuration holds
        // stays valid.
        log.reset();
        if (!emplace_logger(log, module_name + *config->system.template_name)) {
            return 1;
        }
    }

    const bool ok = log->execute([&] {
        if (config->system.debug_port) {
            log->connect(*config->system.debug_port);
        }
        if (config->system.local_debug) {
            log->set_debug(*config->system.local_debug);
        }

        const core::core::ptr library = core::core::create(*log);
        const core::events_loop::ptr loop = library->create_events_loop("main loop");

        if (config->system.pidfile_path) {
            core::detail::check_pid(*config->system.pidfile_path);
            core::detail::write_pid(*config->system.pidfile_path);
        }

        core::events_loop::signals_handle::ptr signals = loop->stop_on_signals();
        auto tap = std::make_unique<orq::application>(*loop, *signals, *config, *log);

        // Under a service manager: ready now that the output is open and the
        // subscriptions are made.
        auto notifier = std::make_unique<orq::service_notifier>(*loop, *log, [&tap] { return tap->status_line(); });
        notifier->ready();

        // An exception escaping the loop is logged and the loop runs on; run()
        // returns normally once the loop is stopped or out of work.
        while (!log->execute([&] { loop->run(); })) {
        }

        notifier->stopping();
        log->info("exit").location(ORQ_SOURCE_LOCATION);

        // The notifier's timers ask the tap for its status: they go first. The
        // tap (output file, subscriptions, stream) goes before the signal
        // handle; the loop and the library root follow as locals.
        notifier.reset();
        tap.reset();
        signals.reset();
    });
    return ok ? 0 : 1;
}
