// A process for the UDP test: inside a private network namespace with an
// interface of its own (10.200.0.1/24, broadcast 10.200.0.255), the library's
// UDP socket receives one datagram sent to the broadcast address, and the
// probe prints what the callback was given:
//
//   remote=<address>:<port> local=<address> data=<payload>
//
// Exits 0 after printing, 1 if nothing arrives within 10 seconds, and 77 with
// "SKIP: <reason>" when the namespace or the interface cannot be made (no
// privilege for namespaces, no `ip` tool, no interface type available).

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/ip_protocol.hpp>
#include <core/logger.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace core = orq::libs::core;

namespace {

constexpr int skip_status = 77;
constexpr int probe_port = 40000;

[[noreturn]] void skip(const std::string& _reason) {
    std::cout << "SKIP: " << _reason << std::endl;
    std::exit(skip_status);
}

bool write_text(const char* _path, const std::string& _text) {
    const int fd = ::open(_path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, _text.data(), _text.size()) == static_cast<ssize_t>(_text.size());
    ::close(fd);
    return ok;
}

// A network namespace of our own; without the privilege for it, inside a user
// namespace of our own in which we are root.
void enter_private_network() {
    if (::unshare(CLONE_NEWNET) == 0) {
        return;
    }
    const int direct = errno;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        skip(std::string("no private network namespace: unshare(CLONE_NEWNET): ") + std::strerror(direct) +
             ", with a user namespace: " + std::strerror(errno));
    }
    if (!write_text("/proc/self/setgroups", "deny") ||
        !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        skip(std::string("cannot map ids in the user namespace: ") + std::strerror(errno));
    }
}

std::string ip_tool() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    skip("the ip tool (iproute2) is not installed");
}

// Runs ip with the arguments; true when it exits 0.
bool ip(const std::vector<std::string>& _arguments) {
    static const std::string tool = ip_tool();
    std::vector<std::string> words{tool};
    words.insert(words.end(), _arguments.begin(), _arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void make_interface() {
    if (!ip({"link", "set", "lo", "up"})) {
        skip("cannot bring lo up in the private namespace");
    }
    if (!ip({"link", "add", "orq0", "type", "dummy"}) &&
        !(ip({"link", "add", "orq0", "type", "veth", "peer", "name", "orq1"}) && ip({"link", "set", "orq1", "up"}))) {
        skip("neither a dummy nor a veth interface can be created");
    }
    if (!ip({"addr", "add", "10.200.0.1/24", "broadcast", "10.200.0.255", "dev", "orq0"}) ||
        !ip({"link", "set", "orq0", "up"})) {
        skip("cannot configure the interface");
    }
}

void send_broadcast(const std::string& _payload) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(probe_port);
    ::inet_pton(AF_INET, "10.200.0.255", &to.sin_addr);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::sendto(fd, _payload.data(), _payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        std::cout << "send failed: " << std::strerror(errno) << std::endl;
        std::exit(1);
    }
    ::close(fd);
}

}  // namespace

int main() {
    enter_private_network();
    make_interface();

    core::logger logger("udp-broadcast-probe", "probe");
    auto root = core::core::create(logger);
    auto loop = root->create_events_loop("main loop");
    auto socket = loop->create_udp_socket(core::ip_protocol::v4, probe_port);
    bool received = false;
    socket->set_receive_callback([&](const core::udp::socket::endpoint& _remote,
                                     const boost::asio::ip::address_v4& _local,
                                     const core::udp::socket::message& _data) {
        std::cout << "remote=" << _remote << " local=" << _local << " data=" << _data << std::endl;
        received = true;
        loop->stop();
    });
    send_broadcast("broadcast");
    loop->get_io_context().run_for(std::chrono::seconds(10));
    socket.reset();
    if (!received) {
        std::cout << "nothing received" << std::endl;
        return 1;
    }
    return 0;
}
