// A demo service: logs a few lines a second through the runtime library's
// logger, connected to a broker's debug port, until SIGINT or SIGTERM.
//
//   vusk-demo-service [-d <debug endpoint>] [-n <name>]

#include <core/logger.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
    std::string debug_endpoint = "tcp://127.0.0.1:7700";
    std::string name = "vusk-demo-service";
    int option = 0;
    while ((option = ::getopt(argc, argv, "d:n:")) != -1) {
        switch (option) {
        case 'd':
            debug_endpoint = optarg;
            break;
        case 'n':
            name = optarg;
            break;
        default:
            std::fprintf(stderr, "usage: %s [-d debug-endpoint] [-n name]\n", argv[0]);
            return 2;
        }
    }

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

    orq::libs::core::logger log(name, "main");
    log.connect(debug_endpoint);
    const auto worker = log.component("worker");

    const timespec pause{0, 300 * 1000 * 1000};
    for (long tick = 1;; ++tick) {
        {
            auto scope = worker->enter_scope("tick");
            worker->info("processed batch %1% (%2% items)") % tick % (tick * 7 % 50);
            if (tick % 5 == 0) {
                worker->warning("batch %1% took longer than expected") % tick;
            }
        }
        log.debug("heartbeat %1%") % tick;
        if (sigtimedwait(&stop_signals, nullptr, &pause) > 0) {
            break;
        }
    }
    log.info("demo service stopping");
    return 0;
}
