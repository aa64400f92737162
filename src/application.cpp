#include "application.hpp"

#include <core/exception.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orq {

namespace {

// A bare port ("7001") means a TCP endpoint on the local host.
std::string complete_address(const std::string& _address) {
    if (_address.find(':') == std::string::npos) {
        return "tcp://localhost:" + _address;
    }
    return _address;
}

// write or writev as plain system calls. Their libc wrappers are
// cancellation points and pay two atomic operations per call for
// pthread_cancel, which this program never uses; on the path of every frame
// that is a noticeable part of the cost.
ssize_t write_parts(int _fd, const iovec* _parts, int _count) {
    return _count == 1 ? ::syscall(SYS_write, _fd, _parts->iov_base, _parts->iov_len)
                       : ::syscall(SYS_writev, _fd, _parts, _count);
}

// 1204332 as "1,204,332".
std::string with_thousands(std::uint64_t _value) {
    std::string digits = std::to_string(_value);
    for (std::size_t i = digits.size(); i > 3; i -= 3) {
        digits.insert(i - 3, 1, ',');
    }
    return digits;
}

// A byte count in decimal units with one decimal: "512 B", "96.1 MB".
std::string human_size(std::uint64_t _bytes) {
    if (_bytes < 1000) {
        return std::to_string(_bytes) + " B";
    }
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(_bytes) / 1000;
    std::size_t unit = 0;
    // 999.96 kB would print as "1000.0 kB".
    while (value >= 999.95 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// Seconds as people read an age: "0.4 s", "42 s", "17 min", "5 h".
std::string human_age(double _seconds) {
    char text[32];
    if (_seconds < 9.95) {
        std::snprintf(text, sizeof text, "%.1f s", _seconds);
    } else if (_seconds < 120) {
        std::snprintf(text, sizeof text, "%.0f s", _seconds);
    } else if (_seconds < 2 * 3600) {
        std::snprintf(text, sizeof text, "%.0f min", _seconds / 60);
    } else {
        std::snprintf(text, sizeof text, "%.0f h", _seconds / 3600);
    }
    return text;
}

}  // namespace

application::application(libs::core::events_loop& _loop, libs::core::events_loop::signals_handle& /*_signals*/,
                         const config& _config, libs::core::logger& _logger)
    : m_logger(_logger),
      m_loop(_loop),
      m_signals(_loop.get_io_context(), SIGHUP, SIGUSR1),
      m_address(complete_address(_config.broker.output_address)) {
    const auto scope = m_logger.enter_function(ORQ_SOURCE_LOCATION);

    if (_config.broker.output_file) {
        m_output.open(*_config.broker.output_file);
    }
    wait_for_signals();

    m_message_stream_raw = _loop.create_zmq_raw_message_stream(m_address);

    auto writer = [this](boost::string_view _message) { write(_message); };
    if (_config.broker.subscriptions.empty()) {
        m_subscriptions.insert(m_message_stream_raw->subscribe("", writer));
    } else {
        for (const auto& topic : _config.broker.subscriptions) {
            m_subscriptions.insert(m_message_stream_raw->subscribe(topic, writer));
        }
    }
}

application::output::~output() {
    if (m_owned) {
        ::close(m_fd);
    }
}

int application::output::open_for_append(const std::string& _path) {
    return ::open(_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

void application::output::open(const std::string& _path) {
    const int fd = open_for_append(_path);
    if (fd < 0) {
        throw libs::core::exception("Cannot open the file: " + _path, ORQ_SOURCE_LOCATION);
    }
    m_fd = fd;
    m_owned = true;
    m_path = _path;
}

int application::output::reopen() {
    // The new file first: if it cannot be opened, the old one stays in use
    // and nothing is lost.
    const int fd = open_for_append(m_path);
    if (fd < 0) {
        return errno;
    }
    ::close(m_fd);
    m_fd = fd;
    return 0;
}

std::string application::status_line() const {
    std::string line = "tapping " + m_address + " \u2192 " +
                       (m_output.path().empty() ? std::string("standard output") : m_output.path()) + ": " +
                       with_thousands(m_frames) + (m_frames == 1 ? " frame, " : " frames, ") + human_size(m_bytes);
    if (m_last_frame.tv_sec == 0 && m_last_frame.tv_nsec == 0) {
        line += ", none received yet";
    } else {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const double age = static_cast<double>(now.tv_sec - m_last_frame.tv_sec) +
                           static_cast<double>(now.tv_nsec - m_last_frame.tv_nsec) / 1e9;
        line += ", last " + human_age(age < 0 ? 0 : age) + " ago";
    }
    if (m_write_failures != 0) {
        line += ", " + with_thousands(m_write_failures) +
                (m_write_failures == 1 ? " lost to a failed write" : " lost to failed writes");
    }
    if (m_output_gone) {
        line += ", standard output closed";
    }
    return line;
}

void application::wait_for_signals() {
    m_signals.async_wait([this](const boost::system::error_code& _error, int _signal) {
        // Cancelled: the application is being destroyed.
        if (_error) {
            return;
        }
        wait_for_signals();
        if (_signal == SIGUSR1) {
            m_logger.info("%1%") % status_line();
        } else {
            on_hangup();
        }
    });
}

void application::on_hangup() {
    // Runs on the loop's thread between two frames: no line is ever split
    // between the old file and the new one.
    if (m_output.path().empty()) {
        if (::isatty(m_output.fd()) == 1) {
            m_logger.info("SIGHUP: the terminal hung up, stopping");
            m_loop.stop();
        } else {
            m_logger.info("SIGHUP: writing to standard output, nothing to reopen");
        }
        return;
    }
    if (m_line_open) {
        // A line cut by a failed write stays in the old file: end it there.
        static const char newline = '\n';
        if (::write(m_output.fd(), &newline, 1) == 1) {
            m_line_open = false;
        }
    }
    m_logger.info("SIGHUP: reopening the output file %1%") % m_output.path();
    if (const int error = m_output.reopen()) {
        m_logger.error("Cannot reopen the file: %1% (%2%); writing goes on to the file already open") %
            m_output.path() % std::strerror(error);
        return;
    }
    m_line_open = false;
}

void application::write(boost::string_view _message) {
    static char newline = '\n';
    if (m_output_gone) {
        // Frames still dispatched in the turn that found the reader gone.
        return;
    }
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &m_last_frame);
    // The newline that ends a cut line left open by an earlier failure, the
    // frame, its newline.
    const std::size_t lead = m_line_open ? 1 : 0;
    const std::size_t total = lead + _message.size() + 1;
    iovec parts[3];
    int count = 0;
    if (total <= m_line.size()) {
        // The kernel takes one buffer faster than a frame and its newline as
        // two, by more than the copy costs.
        char* line = m_line.data();
        line[0] = '\n';
        if (!_message.empty()) {
            std::memcpy(line + lead, _message.data(), _message.size());
        }
        line[total - 1] = '\n';
        parts[count++] = {line, total};
    } else {
        if (lead != 0) {
            parts[count++] = {&newline, 1};
        }
        parts[count++] = {const_cast<char*>(_message.data()), _message.size()};
        parts[count++] = {&newline, 1};
    }

    std::size_t written = 0;
    const int error = write_all(parts, count, written);
    if (error == 0) {
        ++m_frames;
        m_bytes += total;
        m_line_open = false;
        if (m_output_failing) {
            m_output_failing = false;
            m_logger.info("Writing to the output succeeds again");
        }
        return;
    }
    ++m_write_failures;
    if (error == EPIPE && m_output.path().empty()) {
        // Nobody reads standard output any more (a pipe into head, say): an
        // orderly stop, as at SIGTERM. A file given with -f never ends the
        // agent: its failures are logged and writing goes on.
        m_output_gone = true;
        m_logger.info("Standard output was closed by its reader, stopping");
        m_loop.stop();
        return;
    }
    if (m_line_open && written > 0) {
        // The earlier cut line has its newline now.
        m_line_open = false;
        --written;
    }
    if (written > 0) {
        remove_cut_line(written);
    }
    if (!m_output_failing) {
        m_output_failing = true;
        m_logger.error("Cannot write to the output (%1%); messages are lost until writing succeeds again") %
            std::strerror(error);
    }
}

int application::write_all(iovec* _parts, int _count, std::size_t& _written) {
    std::size_t total = 0;
    for (int i = 0; i < _count; ++i) {
        total += _parts[i].iov_len;
    }
    while (_written < total) {
        const ssize_t result = write_parts(m_output.fd(), _parts, _count);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking standard output: wait as a blocking write would.
                pollfd writable{m_output.fd(), POLLOUT, 0};
                ::poll(&writable, 1, -1);
                continue;
            }
            return errno;
        }
        if (result == 0) {
            return EIO;
        }
        _written += static_cast<std::size_t>(result);
        // Go on after the part written last (a pipe or a signal may cut a write).
        for (std::size_t left = static_cast<std::size_t>(result); left > 0;) {
            if (left >= _parts->iov_len) {
                left -= _parts->iov_len;
                ++_parts;
                --_count;
            } else {
                _parts->iov_base = static_cast<char*>(_parts->iov_base) + left;
                _parts->iov_len -= left;
                left = 0;
            }
        }
    }
    return 0;
}

void application::remove_cut_line(std::size_t _written) {
    // Where our last write ended; nothing may follow it in the file, or the
    // bytes to remove would not be ours alone.
    const off_t end = ::lseek(m_output.fd(), 0, SEEK_CUR);
    struct stat info {};
    if (end >= static_cast<off_t>(_written) && ::fstat(m_output.fd(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == end) {
        const off_t start = end - static_cast<off_t>(_written);
        // Standard output may not be in append mode: the offset goes back too.
        if (::ftruncate(m_output.fd(), start) == 0 && ::lseek(m_output.fd(), start, SEEK_SET) == start) {
            return;
        }
    }
    m_line_open = true;
}

}  // namespace orq
