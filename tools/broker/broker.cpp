// A minimal message broker for demos and tests: every frame pushed to its
// debug port (PULL) is published unchanged on its output (PUB).
//
//   vusk-test-broker [-d <debug endpoint>] [-o <output endpoint>]
//
// Defaults: tcp://127.0.0.1:7700 and tcp://127.0.0.1:7701. SIGINT or SIGTERM
// ends it with status 0.

#include <zmq.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    std::string debug_endpoint = "tcp://127.0.0.1:7700";
    std::string output_endpoint = "tcp://127.0.0.1:7701";
    int option = 0;
    while ((option = ::getopt(argc, argv, "d:o:")) != -1) {
        switch (option) {
        case 'd':
            debug_endpoint = optarg;
            break;
        case 'o':
            output_endpoint = optarg;
            break;
        default:
            std::fprintf(stderr, "usage: %s [-d debug-endpoint] [-o output-endpoint]\n", argv[0]);
            return 2;
        }
    }

    // Signals are taken synchronously by a thread of our own, which ends the
    // forwarding by shutting the context down.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        zmq::context_t context;
        zmq::socket_t input(context, zmq::socket_type::pull);
        zmq::socket_t output(context, zmq::socket_type::pub);
        // A debug tap must not lose lines to a momentarily slow subscriber.
        input.set(zmq::sockopt::rcvhwm, 0);
        output.set(zmq::sockopt::sndhwm, 0);
        input.set(zmq::sockopt::linger, 0);
        output.set(zmq::sockopt::linger, 0);
        input.bind(debug_endpoint);
        output.bind(output_endpoint);
        std::fprintf(stderr, "broker: forwarding %s -> %s\n", debug_endpoint.c_str(), output_endpoint.c_str());

        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stop_signals, &signal);
            context.shutdown();
        });
        try {
            zmq::proxy(input, output);
        } catch (const zmq::error_t& e) {
            if (e.num() != ETERM) {
                throw;
            }
        }
        stopper.join();
    } catch (const zmq::error_t& e) {
        std::fprintf(stderr, "broker: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "broker: stopped\n");
    return 0;
}
