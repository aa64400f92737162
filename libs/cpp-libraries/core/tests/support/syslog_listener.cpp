#include "syslog_listener.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace orq::test {

namespace {

void fail(const std::string& _what) {
    throw std::runtime_error(_what + ": " + std::strerror(errno));
}

void write_proc_file(const char* _path, const std::string& _text) {
    const int fd = ::open(_path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(std::string("open ") + _path);
    }
    const auto written = ::write(fd, _text.data(), _text.size());
    const int saved = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(_text.size())) {
        errno = saved;
        fail(std::string("write ") + _path);
    }
}

// A normal user may not make mount namespaces, but may make one inside a user
// namespace of its own, where it holds every capability. The user and group
// map to themselves, so files the tests create keep their owner and the
// programs they start see the same ids as outside.
void enter_user_namespace() {
    const auto uid = ::geteuid();
    const auto gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        fail("unshare(CLONE_NEWUSER | CLONE_NEWNS) (allowed only while the process has one thread)");
    }
    write_proc_file("/proc/self/setgroups", "deny");
    write_proc_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    write_proc_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// Gives this process a /dev of its own: the real device nodes are bound back
// into a fresh tmpfs, which then also takes our /dev/log.
void enter_private_dev() {
    static bool done = false;
    if (done) {
        return;
    }
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) {
            fail("unshare(CLONE_NEWNS)");
        }
    } else {
        enter_user_namespace();
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("make / private");
    }
    char old_dev[] = "/tmp/orq-dev-XXXXXX";
    if (::mkdtemp(old_dev) == nullptr) {
        fail("mkdtemp");
    }
    if (::mount("/dev", old_dev, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        fail("bind /dev");
    }
    if (::mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) {
        fail("tmpfs on /dev");
    }
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const std::string source = std::string(old_dev) + "/" + node;
        const std::string target = std::string("/dev/") + node;
        struct stat info {};
        if (::stat(source.c_str(), &info) != 0) {
            continue;
        }
        const int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd >= 0) {
            ::close(fd);
        }
        ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr);
    }
    // Terminals from a devpts of our own (the host's cannot be reached through
    // a bound /dev/ptmx): programs under test may open pseudo-terminals.
    ::mkdir("/dev/pts", 0755);
    if (::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0) {
        ::symlink("pts/ptmx", "/dev/ptmx");
    }
    for (const char* dir : {"shm"}) {
        const std::string source = std::string(old_dev) + "/" + dir;
        const std::string target = std::string("/dev/") + dir;
        ::mkdir(target.c_str(), 0755);
        ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    }
    ::symlink("/proc/self/fd", "/dev/fd");
    ::symlink("/proc/self/fd/0", "/dev/stdin");
    ::symlink("/proc/self/fd/1", "/dev/stdout");
    ::symlink("/proc/self/fd/2", "/dev/stderr");
    // The old /dev stays reachable only through the bind, which vanishes with
    // the namespace; the directory itself is empty on the host.
    ::umount2(old_dev, MNT_DETACH);
    ::rmdir(old_dev);
    done = true;
}

}  // namespace

std::optional<syslog_record> parse_syslog_datagram(const std::string& _datagram) {
    if (_datagram.size() < 3 || _datagram[0] != '<') {
        return std::nullopt;
    }
    const auto close = _datagram.find('>');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    syslog_record record;
    record.raw = _datagram;
    record.priority = std::stoi(_datagram.substr(1, close - 1));
    // "Mmm dd hh:mm:ss " is 16 characters.
    const auto rest_start = close + 1 + 16;
    if (rest_start > _datagram.size()) {
        return std::nullopt;
    }
    const std::string rest = _datagram.substr(rest_start);
    const auto separator = rest.find(": ");
    if (separator == std::string::npos) {
        return std::nullopt;
    }
    record.identity = rest.substr(0, separator);
    record.message = rest.substr(separator + 2);
    return record;
}

syslog_listener::syslog_listener() {
    enter_private_dev();
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        fail("socket");
    }
    ::unlink("/dev/log");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("bind /dev/log");
    }
    // Large lines (the help text) must not be cut by a small receive buffer.
    const int size = 4 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::pipe2(m_stop, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    m_reader = std::thread([this] { read_loop(); });
}

syslog_listener::~syslog_listener() {
    const char byte = 0;
    [[maybe_unused]] auto ignored = ::write(m_stop[1], &byte, 1);
    m_reader.join();
    ::close(m_stop[0]);
    ::close(m_stop[1]);
    ::close(m_fd);
    ::unlink("/dev/log");
}

void syslog_listener::read_loop() {
    std::string buffer(1 << 20, '\0');
    while (true) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const auto n = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            continue;
        }
        if (auto record = parse_syslog_datagram(buffer.substr(0, static_cast<std::size_t>(n)))) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.push_back(*record);
            m_arrived.notify_all();
        }
    }
}

std::optional<syslog_record> syslog_listener::wait_for(const std::string& _text, std::chrono::milliseconds _timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<syslog_record> found;
    m_arrived.wait_for(lock, _timeout, [&] {
        for (const auto& record : m_records) {
            if (record.message.find(_text) != std::string::npos) {
                found = record;
                return true;
            }
        }
        return false;
    });
    return found;
}

void syslog_listener::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

std::vector<syslog_record> syslog_listener::records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

}  // namespace orq::test
