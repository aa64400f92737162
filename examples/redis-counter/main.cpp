// A counter kept in Redis: ten times a second it increments a key (INCR) and
// prints the new value. The Redis server may go away and come back: the
// counter says when the connection goes and when it is back, and goes on
// counting (from wherever the server's key stands then). SIGINT or SIGTERM
// stops it in order.
//
//   orq-redis-counter <address> <port> <key>    (for example
//                                                orq-redis-counter 127.0.0.1 6379 visits)

#include <core/async_operation_handle.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>
#include <core/redis/command.hpp>
#include <core/redis/context.hpp>
#include <core/redis/reply.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    namespace core = orq::libs::core;
    namespace redis = core::redis;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <address> <port> <key>\n", argv[0]);
        return 2;
    }
    const std::string address = argv[1];
    const int port = std::atoi(argv[2]);
    const std::string key = argv[3];
    // One line at a time, so that whoever watches the output sees each event
    // as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    core::logger log("orq-redis-counter", "main");
    const auto library = core::core::create(log);
    const auto loop = library->create_events_loop("main loop");
    const auto signals = loop->stop_on_signals();

    // Destroyed in the reverse order: the timer first, then the reply still
    // awaited, the command, and the context, which must outlive its commands.
    redis::context::ptr context;
    redis::command::ptr increment;
    core::async_operation_handle<redis::reply>::ptr pending;
    core::periodic_timer::ptr ticks;
    int status = 0;

    // Every callback below runs on the loop's thread, one at a time: no locks.
    const auto connecting = loop->create_redis_context(address, port, 0);
    connecting->set_callback([&](boost::optional<std::unique_ptr<redis::context>> _context) {
        if (!_context) {
            std::fprintf(stderr, "orq-redis-counter: no Redis server at %s:%d\n", address.c_str(), port);
            status = 1;
            loop->stop();
            return;
        }
        context = std::move(*_context);
        // From here on the context keeps itself connected: after a loss it
        // connects again in the background, with growing pauses, and says so
        // here each time the connection goes and each time it is back.
        context->set_connection_callback([](bool _connected, boost::string_view _reason) {
            if (_connected) {
                std::printf("orq-redis-counter: connection back\n");
            } else {
                std::printf("orq-redis-counter: connection lost (%.*s)\n", static_cast<int>(_reason.size()),
                            _reason.data());
            }
        });

        // One command, run again at each tick.
        increment = context->create_command({"INCR", key});
        ticks = loop->create_periodic_timer(
            std::chrono::milliseconds(100), "increment",
            [&](core::timer::time_point) {
                if (pending && !pending->is_complete()) {
                    return;  // the last INCR is still on its way
                }
                try {
                    pending = increment->execute_async();
                } catch (const std::exception&) {
                    return;  // the connection is down: this tick is skipped
                }
                // The reply comes on this thread, so it cannot arrive before
                // its callback is in place. Holding the handle keeps it: a
                // dropped handle drops its result.
                pending->set_callback([](const redis::reply& _reply) {
                    switch (_reply.get_type()) {
                    case redis::reply_type::INTEGER:
                        std::printf("orq-redis-counter: counter %lld\n", _reply.to_long_long());
                        break;
                    case redis::reply_type::NIL:  // abandoned when the connection went
                        std::printf("orq-redis-counter: no reply\n");
                        break;
                    default:
                        std::printf("orq-redis-counter: INCR failed: %s\n", _reply.to_string().c_str());
                    }
                });
            },
            ORQ_SOURCE_LOCATION);
        std::printf("orq-redis-counter: counting in %s on %s:%d\n", key.c_str(), address.c_str(), port);
    });

    loop->run();
    return status;
}
