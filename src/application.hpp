#pragma once

#include "config.hpp"

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/message_stream.hpp>

#include <boost/asio/signal_set.hpp>
#include <boost/utility/string_view.hpp>

#include <sys/uio.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace orq {

// The broker tap: subscribes to the broker's output and writes every frame it
// receives, followed by a newline, to the output file or to standard output.
// Each line goes to the descriptor in one write, nothing is kept from one
// line to the next: an observer sees each line at once, and a failed write
// leaves nothing behind that a later write would repeat.
class application {
public:
    // The loop must outlive the application; the signals handle is not used.
    // SIGHUP reopens the output file (log rotation); without one, it stops the
    // loop when standard output is a terminal (the terminal hung up) and is
    // logged and otherwise ignored. SIGUSR1 logs the status line at info
    // level. A reader that closes standard output (EPIPE; SIGPIPE must be
    // ignored) stops the loop.
    application(libs::core::events_loop& _loop, libs::core::events_loop::signals_handle& _signals,
                const config& _config, libs::core::logger& _logger);

    // One line on how the tap is doing, for people: "tapping <address> →
    // <output>: <frames> frames, <size>, last <age> ago", with the write
    // failures when there were any. Loop thread only.
    std::string status_line() const;

private:
    // The output's descriptor: an opened file (closed on destruction) or
    // standard output.
    class output {
    public:
        output() = default;
        ~output();
        output(const output&) = delete;
        output& operator=(const output&) = delete;
        // Throws "Cannot open the file: " and the path.
        void open(const std::string& _path);
        // Opens the same path again and closes the old file; 0, or the errno
        // of the failed open, which leaves the old file in use.
        int reopen();
        int fd() const { return m_fd; }
        // Empty for standard output.
        const std::string& path() const { return m_path; }

    private:
        static int open_for_append(const std::string& _path);

        int m_fd = 1;
        bool m_owned = false;
        std::string m_path;
    };

    void wait_for_signals();
    void on_hangup();

    void write(boost::string_view _message);
    // Writes the parts whole, going on after partial writes; 0 or the errno
    // of the failure, with _written set to the bytes the output took.
    int write_all(iovec* _parts, int _count, std::size_t& _written);
    // After a write failed with _written bytes of its line in the output:
    // removes them when the output is a regular file that ends with them, else
    // leaves the line open for the next write to end first.
    void remove_cut_line(std::size_t _written);

    libs::core::logger& m_logger;
    libs::core::events_loop& m_loop;
    // SIGHUP and SIGUSR1, handled on the loop's thread.
    boost::asio::signal_set m_signals;
    std::string m_address;
    libs::core::message_stream::ptr m_message_stream_raw;
    std::set<libs::core::message_stream::subscription::ptr> m_subscriptions;
    output m_output;
    // Where a line is put together, so that it goes out in one write; longer
    // lines go out as their parts, with one writev.
    std::vector<char> m_line = std::vector<char>(64 * 1024);
    // A cut line that could not be removed ends the output, without its
    // newline.
    bool m_line_open = false;
    // True while writes fail: the failure is logged once, not per message.
    bool m_output_failing = false;
    // Standard output's reader went away: nothing more is written.
    bool m_output_gone = false;

    // What the status line says, kept by the writer on the loop's thread
    // (plain counters: nothing else reads them). The time of the last frame
    // is read from the coarse monotonic clock, which costs next to nothing
    // per frame and is precise to a few milliseconds.
    std::uint64_t m_frames = 0;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_write_failures = 0;
    timespec m_last_frame{};
};

}  // namespace orq
