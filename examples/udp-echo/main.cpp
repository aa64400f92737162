// A UDP echo service: every datagram that arrives on the port goes back, byte
// for byte, to the address and port it came from. SIGINT or SIGTERM stops it
// in order; it then says how many datagrams it echoed.
//
//   orq-udp-echo <address> <port>     (for example orq-udp-echo 127.0.0.1 7000)

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/udp/socket.hpp>

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    namespace core = orq::libs::core;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <address> <port>\n", argv[0]);
        return 2;
    }
    const std::string address = argv[1];
    const int port = std::atoi(argv[2]);

    core::logger log("orq-udp-echo", "main");
    const auto library = core::core::create(log);
    const auto loop = library->create_events_loop("main loop");
    const auto signals = loop->stop_on_signals();

    core::udp::socket::ptr socket;
    try {
        socket = loop->create_udp_socket(address, port);
    } catch (const boost::system::system_error& e) {
        // The library's message names the step, the address and the port.
        std::fprintf(stderr, "orq-udp-echo: %s\n", e.what());
        return 1;
    }

    // Runs on the loop's thread; the view of the data is valid during the call
    // only, which is all send_to needs: it has sent the datagram on return.
    long echoed = 0;
    socket->set_receive_callback([&](const core::udp::socket::endpoint& _sender, const boost::asio::ip::address_v4&,
                                     const core::udp::socket::message& _data) {
        try {
            socket->send_to(_sender, _data);
            ++echoed;
        } catch (const boost::system::system_error& e) {
            log.warning("no echo to %1%: %2%") % _sender % e.what();
        }
    });

    std::printf("orq-udp-echo: echoing on %s:%d\n", address.c_str(), port);
    std::fflush(stdout);
    loop->run();
    std::printf("orq-udp-echo: echoed %ld datagrams\n", echoed);
    return 0;
}
