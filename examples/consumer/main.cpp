// A minimal service on the installed libraries: a logger, an event loop, a
// ZeroMQ publisher fed by a periodic timer and a raw message stream reading it
// back. Exits 0 after three frames have come round, 1 if they do not within
// ten seconds.
//
//   orq-consumer <ipc-or-tcp endpoint>     (for example ipc:///tmp/orq-consumer)

#include <config_parser/config.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    namespace core = orq::libs::core;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <endpoint>\n", argv[0]);
        return 2;
    }
    const std::string endpoint = argv[1];

    // The configuration library: the number of frames to wait for.
    std::istringstream document(R"({"consumer": {"frames": 3}})");
    const auto config = orq::libs::config::config::create<orq::libs::config::type::json>(document);
    const int wanted = config->get_by_path<int>({"consumer", "frames"}).value();

    core::logger log("orq-consumer", "main");
    const auto library = core::core::create(log);
    const auto loop = library->create_events_loop("main loop");

    const auto publisher = loop->get_zmq().bind(core::zmq::socket::type::pub, endpoint);
    const auto stream = loop->create_zmq_raw_message_stream(endpoint);
    int received = 0;
    const auto subscription = stream->subscribe("tick", [&](boost::string_view _frame) {
        log.info("received %1%") % _frame;
        if (++received == wanted) {
            loop->stop();
        }
    });

    int sent = 0;
    const auto ticker = loop->create_periodic_timer(
        std::chrono::milliseconds(20), "ticker",
        [&](core::timer::time_point) { publisher->send(core::zmq::message("tick " + std::to_string(++sent))); },
        ORQ_SOURCE_LOCATION);
    const auto deadline = loop->create_timer(
        std::chrono::steady_clock::now() + std::chrono::seconds(10), "deadline",
        [&](core::timer::time_point) { loop->stop(); }, ORQ_SOURCE_LOCATION);

    loop->run();
    std::printf("orq-consumer: %d of %d frames received\n", received, wanted);
    return received == wanted ? 0 : 1;
}
