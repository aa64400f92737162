// A long run under faults: the real agent taps the real test broker while a
// plain libzmq PUSH publisher feeds the broker a steady stream of numbered
// frames, and the broker is killed (SIGKILL) and started again on the same
// ports at a fixed period. The agent is left running throughout and must ride
// through every restart.
//
//   broker_restart_soak [seconds] [restart-period-seconds] [frames-per-second]
//                       (defaults: 600, 30, 50000)
//
// Report: frames sent (accepted by the publisher's socket), frames written,
// every gap in the sequence numbers and whether it falls inside a restart
// window, duplicates, torn lines, the agent's RSS, open descriptors and CPU
// time at start and end. Exit status 0 only when nothing was lost outside a
// restart window, nothing was written twice or torn, the agent's descriptors
// did not grow, and SIGTERM stopped it with status 0.

#include "test_support.hpp"
#include "zmq_peers.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Frames that were in the broker's queues or sockets when it was killed were
// sent shortly before: losing them counts as part of the restart.
constexpr auto loss_before_kill = 1s;
// After the broker is up again, both ZeroMQ peers reconnect (100 ms retry
// interval) and the agent's subscription travels to the new broker; frames
// published before that are dropped by the broker's PUB.
constexpr auto loss_after_restart = 2s;

// "soak <seq> <filler>": the filler depends on the sequence number, so a line
// that lost or gained bytes anywhere does not match.
std::string frame_text(std::uint64_t _seq) {
    char buffer[96];
    const int n = std::snprintf(buffer, sizeof(buffer), "soak %" PRIu64 " ", _seq);
    std::string text(buffer, static_cast<std::size_t>(n));
    text.append(40, static_cast<char>('a' + _seq % 26));
    return text;
}

double seconds_since(clock_type::time_point _start, clock_type::time_point _t) {
    return std::chrono::duration<double>(_t - _start).count();
}

struct process_figures {
    long rss_kib = 0;
    long descriptors = 0;
    double cpu_seconds = 0;
};

process_figures figures_of(pid_t _pid) {
    process_figures result;
    const std::string proc = "/proc/" + std::to_string(_pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            result.rss_kib = std::stol(line.substr(6));
        }
    }
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(proc + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++result.descriptors;
    }
    // utime and stime are the 14th and 15th fields, after the parenthesised name.
    const std::string stat = orq::test::read_file(proc + "/stat");
    const auto after_name = stat.rfind(')');
    if (after_name != std::string::npos) {
        std::vector<std::string> fields;
        std::string field;
        for (std::size_t i = after_name + 2; i <= stat.size(); ++i) {
            if (i == stat.size() || stat[i] == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += stat[i];
            }
        }
        // fields[0] is the state (field 3): utime is field 14.
        if (fields.size() > 12) {
            const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
            result.cpu_seconds = (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
        }
    }
    return result;
}

// The publisher: PUSH into the broker's debug port at a steady rate. It
// records, per millisecond tick, the time and the first sequence number sent
// in it, so that a gap can be placed in time afterwards.
class publisher {
public:
    struct tick {
        clock_type::time_point time;
        std::uint64_t first_seq;
    };

    publisher(const std::string& _endpoint, int _rate) : m_rate(_rate) { m_socket.connect(_endpoint); }

    void start() {
        m_thread = std::thread([this] { run(); });
    }
    void stop() {
        m_stop = true;
        m_thread.join();
    }

    // Sends one frame outside the numbered stream (probes, end marker).
    bool send_marker(const std::string& _text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_socket.send(_text, zmq::send_flags::dontwait);
    }

    std::uint64_t sent() const { return m_next_seq; }
    std::uint64_t refused() const { return m_refused; }
    const std::vector<tick>& ticks() const { return m_ticks; }

    // When the frame was sent (the start of its tick).
    clock_type::time_point time_of(std::uint64_t _seq) const {
        auto it = std::upper_bound(m_ticks.begin(), m_ticks.end(), _seq,
                                   [](std::uint64_t _s, const tick& _t) { return _s < _t.first_seq; });
        return it == m_ticks.begin() ? m_ticks.front().time : std::prev(it)->time;
    }

private:
    void run() {
        const auto start = clock_type::now();
        std::uint64_t offered = 0;
        for (long n = 1; !m_stop; ++n) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(n));
            const auto due = static_cast<std::uint64_t>(static_cast<double>(m_rate) * n / 1000.0);
            m_ticks.push_back({clock_type::now(), m_next_seq});
            std::lock_guard<std::mutex> lock(m_mutex);
            for (; offered < due; ++offered) {
                // Only frames the socket accepts are numbered and count as
                // sent; once its queue is full (the broker is down) the rest
                // of the tick is refused, and the schedule does not catch up.
                const std::string text = frame_text(m_next_seq);
                if (!m_socket.send(text, zmq::send_flags::dontwait)) {
                    m_refused += due - offered;
                    offered = due;
                    break;
                }
                ++m_next_seq;
            }
        }
    }

    orq::test::zmq_peers::plain_socket m_socket{zmq::socket_type::push};
    std::mutex m_mutex;
    const int m_rate;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_next_seq{0};
    std::uint64_t m_refused = 0;
    std::vector<tick> m_ticks;
    std::thread m_thread;
};

std::unique_ptr<orq::test::child_process> start_broker(const std::string& _in, const std::string& _out) {
    // A port just released by a killed broker can take a moment to be free again.
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto broker = std::make_unique<orq::test::child_process>(
            std::vector<std::string>{ORQ_BROKER_BINARY, "-d", _in, "-o", _out});
        if (broker->wait_stderr_contains("forwarding", 5s)) {
            return broker;
        }
        broker->wait_exit(1s);
    }
    std::fprintf(stderr, "soak: the broker does not start\n");
    std::exit(2);
}

std::uint64_t file_size(const std::string& _path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(_path, error);
    return error ? 0 : size;
}

// Publishes the marker until the agent has written it.
bool marker_arrives(publisher& _pub, const std::string& _marker, const std::string& _path) {
    return orq::test::send_until_seen([&] { _pub.send_marker(_marker); },
                                      [&] {
                                          std::ifstream file(_path, std::ios::binary);
                                          const auto size = file_size(_path);
                                          const std::uint64_t tail = std::min<std::uint64_t>(size, 4096);
                                          file.seekg(static_cast<std::streamoff>(size - tail));
                                          std::string text(tail, '\0');
                                          file.read(text.data(), static_cast<std::streamsize>(tail));
                                          return text.find(_marker + "\n") != std::string::npos;
                                      },
                                      30s);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const int period = argc > 2 ? std::atoi(argv[2]) : 30;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 50000;
    if (seconds <= 0 || period <= 0 || rate <= 0) {
        std::fprintf(stderr, "usage: %s [seconds] [restart-period-seconds] [frames-per-second]\n", argv[0]);
        return 2;
    }

    orq::test::temp_dir dir;
    const std::string out = dir.file("out.log");
    const std::string in_endpoint = "tcp://127.0.0.1:" + std::to_string(orq::test::free_tcp_port());
    const std::string out_endpoint = "tcp://127.0.0.1:" + std::to_string(orq::test::free_tcp_port());

    auto broker = start_broker(in_endpoint, out_endpoint);
    orq::test::child_process agent({ORQ_AGENT_BINARY, "-a", out_endpoint, "-f", out}, false);
    publisher pub(in_endpoint, rate);
    if (!marker_arrives(pub, "soak-probe", out)) {
        std::fprintf(stderr, "soak: the agent writes nothing\n");
        return 2;
    }
    const process_figures at_start = figures_of(agent.pid());

    const auto start = clock_type::now();
    pub.start();
    struct restart {
        clock_type::time_point killed, started;
    };
    std::vector<restart> restarts;
    for (auto next = start + std::chrono::seconds(period); next < start + std::chrono::seconds(seconds);
         next += std::chrono::seconds(period)) {
        std::this_thread::sleep_until(next);
        broker->send_signal(SIGKILL);
        broker->wait_exit();
        const auto killed = clock_type::now();
        broker = start_broker(in_endpoint, out_endpoint);
        restarts.push_back({killed, clock_type::now()});
        std::printf("%7.1f s  broker restarted (%.0f ms down)\n", seconds_since(start, killed),
                    std::chrono::duration<double, std::milli>(restarts.back().started - killed).count());
        std::fflush(stdout);
    }
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
    pub.stop();
    const bool ended = marker_arrives(pub, "soak-end", out);
    const process_figures at_end = figures_of(agent.pid());
    agent.send_signal(SIGTERM);
    const int agent_status = agent.exit_code();
    broker->send_signal(SIGTERM);
    broker->wait_exit();

    // Every line: a probe or end marker, or exactly frame_text(seq).
    const std::uint64_t sent = pub.sent();
    std::vector<bool> seen(sent, false);
    std::uint64_t written = 0, duplicates = 0, torn = 0;
    {
        std::ifstream file(out, std::ios::binary);
        for (std::string line; std::getline(file, line);) {
            if (line == "soak-probe" || line == "soak-end") {
                continue;
            }
            std::uint64_t seq = 0;
            if (std::sscanf(line.c_str(), "soak %" SCNu64, &seq) != 1 || seq >= sent || line != frame_text(seq)) {
                ++torn;
                continue;
            }
            ++written;
            if (seen[seq]) {
                ++duplicates;
            }
            seen[seq] = true;
        }
    }

    // Gaps, each placed against the restarts.
    std::uint64_t lost_in_windows = 0, lost_outside = 0;
    for (std::uint64_t seq = 0; seq < sent;) {
        if (seen[seq]) {
            ++seq;
            continue;
        }
        const std::uint64_t first = seq;
        while (seq < sent && !seen[seq]) {
            ++seq;
        }
        const std::uint64_t count = seq - first;
        const auto from = pub.time_of(first);
        const auto to = pub.time_of(seq - 1);
        const auto window = std::find_if(restarts.begin(), restarts.end(), [&](const restart& _r) {
            return from >= _r.killed - loss_before_kill && to <= _r.started + loss_after_restart;
        });
        const bool inside = window != restarts.end();
        (inside ? lost_in_windows : lost_outside) += count;
        if (inside) {
            std::printf("gap of %8" PRIu64 " frames, sent %+7.0f to %+7.0f ms around the kill at %.1f s\n", count,
                        std::chrono::duration<double, std::milli>(from - window->killed).count(),
                        std::chrono::duration<double, std::milli>(to - window->killed).count(),
                        seconds_since(start, window->killed));
        } else {
            std::printf("gap of %8" PRIu64 " frames, sent %.3f to %.3f s: OUTSIDE every restart window\n", count,
                        seconds_since(start, from), seconds_since(start, to));
        }
    }

    const double cpu = at_end.cpu_seconds - at_start.cpu_seconds;
    std::printf("\nrun: %d s, broker restarted %zu times, %d frames/s offered\n", seconds, restarts.size(), rate);
    std::printf("frames sent %" PRIu64 " (refused by the publisher's full queue: %" PRIu64 "), written %" PRIu64 "\n",
                sent, pub.refused(), written);
    std::printf("lost inside restart windows %" PRIu64 ", lost outside %" PRIu64 ", duplicates %" PRIu64
                ", torn lines %" PRIu64 "\n",
                lost_in_windows, lost_outside, duplicates, torn);
    std::printf("agent RSS %ld -> %ld KiB, descriptors %ld -> %ld, CPU %.1f s (%.1f%% of one core)\n", at_start.rss_kib,
                at_end.rss_kib, at_start.descriptors, at_end.descriptors, cpu, 100.0 * cpu / seconds);
    std::printf("end marker %s, agent exit code after SIGTERM %d\n", ended ? "written" : "MISSING", agent_status);

    const bool ok = ended && lost_outside == 0 && duplicates == 0 && torn == 0 &&
                    at_end.descriptors <= at_start.descriptors && agent_status == 0;
    std::printf("%s\n", ok ? "soak: PASSED" : "soak: FAILED");
    return ok ? 0 : 1;
}
