// A TCP echo server: every byte a peer sends goes back to that peer, in order.
// Peers come and go as they like; each one is reported when it comes and when
// it goes. SIGINT or SIGTERM stops it in order; it then says how many peers it
// served and how many bytes it echoed.
//
//   orq-tcp-echo <address> <port>     (port 0: the system chooses one, and
//                                      the first line of output tells which)

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/tcp/acceptor.hpp>
#include <core/tcp/manager.hpp>
#include <core/tcp/socket.hpp>

#include <boost/system/system_error.hpp>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

namespace {
namespace core = orq::libs::core;

std::string text(const core::tcp::socket::endpoint& _endpoint) {
    std::ostringstream out;
    out << _endpoint;
    return out.str();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <address> <port>\n", argv[0]);
        return 2;
    }
    // One line at a time, so that whoever watches the output sees each event
    // as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    core::logger log("orq-tcp-echo", "main");
    const auto library = core::core::create(log);
    const auto loop = library->create_events_loop("main loop");
    const auto signals = loop->stop_on_signals();

    // The server owns its connections: a socket lives exactly as long as its
    // entry here. Declared after the loop, they are destroyed before it.
    std::map<long, core::tcp::socket::ptr> connections;
    long served = 0;
    std::size_t echoed = 0;
    // Bytes queued for one peer that does not read: past this, the peer is
    // dropped rather than let the server's memory grow without end.
    const std::size_t max_queued = 64 * 1024 * 1024;

    core::tcp::acceptor::ptr acceptor;
    try {
        acceptor = loop->get_tcp().listen(argv[1], std::atoi(argv[2]));
    } catch (const boost::system::system_error& e) {
        // The library's message names the step, the address and the port.
        std::fprintf(stderr, "orq-tcp-echo: %s\n", e.what());
        return 1;
    }

    // Every callback below runs on the loop's thread, one at a time: no locks.
    acceptor->set_callback([&](core::tcp::socket::ptr _socket) {
        const long id = ++served;
        core::tcp::socket* const socket = _socket.get();
        std::string peer;
        try {
            peer = text(socket->get_remote_endpoint());
        } catch (const boost::system::system_error&) {
            return;  // already gone; dropping the socket closes it
        }
        std::printf("orq-tcp-echo: peer %ld (%s) connected\n", id, peer.c_str());

        // Called once, whatever ends the connection: the peer closing, a
        // reset, a failed read or write (the library has logged those). The
        // socket may be destroyed right here; what it still had queued for
        // the peer is dropped with it.
        socket->set_close_callback([&connections, id] {
            std::printf("orq-tcp-echo: peer %ld gone\n", id);
            connections.erase(id);
        });
        // The view of the bytes is valid during the call only; send copies
        // what the kernel does not take at once and writes it later, in
        // order, so the echo never blocks the loop however slowly the peer
        // reads.
        socket->set_receive_callback([&connections, &echoed, &log, max_queued, socket, id](boost::string_view _data) {
            try {
                socket->send(_data);
                echoed += _data.size();
            } catch (const boost::system::system_error& e) {
                log.warning("peer %1%: %2%") % id % e.what();
                connections.erase(id);  // destroying the socket calls no callback
                return;
            }
            if (socket->queued_bytes() > max_queued) {
                log.warning("peer %1% reads too slowly: dropped") % id;
                std::printf("orq-tcp-echo: peer %ld dropped\n", id);
                connections.erase(id);
            }
        });
        connections.emplace(id, std::move(_socket));
    });

    std::printf("orq-tcp-echo: echoing on %s\n", text(acceptor->local_endpoint()).c_str());
    loop->run();
    std::printf("orq-tcp-echo: served %ld peers, echoed %zu bytes\n", served, echoed);
    return 0;
}
