// CPU time per frame of the agent against a baseline: a plain blocking libzmq
// SUB loop that writes and flushes each frame to the same kind of file (bytes,
// newline, flush). Each is a process of its own (the baseline is this program
// started again with --baseline), subscribed to a plain libzmq publisher in
// this process; its user+system time, all threads included, is read through
// its CPU-time clock just before the first frame is published and once the
// last one is in the file. The publisher has SNDHWM 0 and every frame must
// arrive (loss is checked).
//
// For each frame size the runs alternate agent, baseline, agent, ... and the
// median of each is printed, with the wall-clock rate for information. The
// ratio is baseline / agent: 1.0 or more means the agent costs no more CPU
// per frame than the plain loop.
//
// With a number of topics, the agent is measured against itself instead:
// once subscribed to the frames' topic alone (-s, the frames being all "x"),
// once to that many topics, the frames' topic and others ("&t<i>", of several
// lengths) that sort before it. The runs alternate one topic, many topics,
// ...; the ratio is many / one: 1.0 means the other topics cost nothing.
//
//   agent_throughput_bench [frames] [runs] [agent] [topics] [bytes]
//
// Defaults: 1000000 frames, 5 runs, the agent of this build (another agent
// binary can be given to compare builds), no topics (the agent subscribes
// everything; against the baseline), frames of 16, 100 and 1000 bytes (or
// only the size given).

#include "test_support.hpp"
#include "zmq_peers.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

long file_size(const std::string& _path) {
    struct stat info {};
    return ::stat(_path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : 0;
}

using orq::test::zmq_peers::plain_publisher;

// The topic of the frames, which are all "x".
const std::string frames_topic = "xxxxxxxx";

// Publishes probes until one reaches the file: the subscription is live.
long sync(plain_publisher& _pub, const std::string& _path) {
    if (!orq::test::send_until_seen([&] { _pub.send(frames_topic + " probe"); }, [&] { return file_size(_path) > 0; },
                                    60s)) {
        throw std::runtime_error("no probe reaches " + _path);
    }
    std::this_thread::sleep_for(50ms);  // let straggling probes land
    return file_size(_path);
}

// CPU time (user + system, all threads) of another process, in seconds.
double cpu_seconds(pid_t _pid) {
    clockid_t clock{};
    return ::clock_getcpuclockid(_pid, &clock) == 0 ? orq::test::cpu_seconds(clock) : -1;
}

struct result {
    double cpu_per_frame = 0;  // seconds; 0 after a loss
    double frames_per_second = 0;
};

// Sends the frames and waits until the file holds them all.
result measure(plain_publisher& _pub, pid_t _pid, const std::string& _path, long _start, std::size_t _size,
               long _frames) {
    const std::string frame(_size, 'x');
    const long expected = _start + _frames * static_cast<long>(_size + 1);
    const double cpu_before = cpu_seconds(_pid);
    const auto first = clock_type::now();
    std::thread sender([&] {
        for (long i = 0; i < _frames; ++i) {
            _pub.send(frame);
        }
    });
    const auto give_up = first + std::chrono::seconds(300);
    long size = 0;
    while ((size = file_size(_path)) < expected && clock_type::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double cpu_after = cpu_seconds(_pid);
    const auto last = clock_type::now();
    sender.join();
    if (size != expected) {
        std::printf("  LOSS: %ld of %ld bytes\n", size - _start, expected - _start);
        return {};
    }
    return {(cpu_after - cpu_before) / static_cast<double>(_frames),
            static_cast<double>(_frames) / std::chrono::duration<double>(last - first).count()};
}

// Runs the program with the arguments, measures, stops it with SIGTERM.
result run_process(const std::vector<std::string>& _argv, plain_publisher& _pub, const std::string& _path,
                   std::size_t _size, long _frames) {
    std::remove(_path.c_str());
    orq::test::child_process process(_argv, false);
    const long start = sync(_pub, _path);
    const result measured = measure(_pub, process.pid(), _path, start, _size, _frames);
    process.send_signal(SIGTERM);
    process.wait_exit();
    std::remove(_path.c_str());
    return measured;
}

// The agent subscribed to everything (no topics), or to the frames' topic and
// _topics - 1 others that sort before it.
result run_agent(const std::string& _agent, std::size_t _size, long _frames, int _topics = 0) {
    plain_publisher pub;
    std::vector<std::string> argv{_agent, "-a", pub.endpoint(), "-f", "/tmp/orq-bench-agent.out"};
    for (int i = 0; i + 1 < _topics; ++i) {
        argv.insert(argv.end(), {"-s", "&t" + std::to_string(i)});
    }
    if (_topics > 0) {
        argv.insert(argv.end(), {"-s", frames_topic});
    }
    return run_process(argv, pub, "/tmp/orq-bench-agent.out", _size, _frames);
}

result run_baseline(std::size_t _size, long _frames) {
    plain_publisher pub;
    return run_process({"/proc/self/exe", "--baseline", pub.endpoint(), "/tmp/orq-bench-baseline.out"}, pub,
                       "/tmp/orq-bench-baseline.out", _size, _frames);
}

// The baseline process: a plain SUB loop until SIGTERM.
int baseline_main(const std::string& _endpoint, const std::string& _path) {
    zmq::context_t context;
    zmq::socket_t sub(context, zmq::socket_type::sub);
    sub.set(zmq::sockopt::subscribe, "");
    sub.connect(_endpoint);
    std::ofstream out(_path, std::ios::app | std::ios::binary);
    zmq::message_t message;
    while (sub.recv(message)) {
        out.write(static_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
        out.put('\n');
        out.flush();
    }
    return 0;
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    const std::size_t n = _values.size();
    return n % 2 == 1 ? _values[n / 2] : (_values[n / 2 - 1] + _values[n / 2]) / 2;
}

// The agent with one topic against the agent with _topics topics.
int topics_main(const std::string& _agent, int _topics, const std::vector<std::size_t>& _sizes, long _frames,
                int _runs) {
    std::printf("%-6s %8s %5s %7s %16s %16s %6s\n", "bytes", "frames", "runs", "topics", "1 topic us/fr",
                "N topics us/fr", "ratio");
    for (const std::size_t size : _sizes) {
        std::vector<double> one_cpu, many_cpu;
        bool lost = false;
        for (int run = 0; run < _runs; ++run) {
            const result one = run_agent(_agent, size, _frames, 1);
            const result many = run_agent(_agent, size, _frames, _topics);
            lost = lost || one.cpu_per_frame == 0 || many.cpu_per_frame == 0;
            one_cpu.push_back(one.cpu_per_frame * 1e6);
            many_cpu.push_back(many.cpu_per_frame * 1e6);
        }
        const double one = median(one_cpu);
        const double many = median(many_cpu);
        std::printf("%-6zu %8ld %5d %7d %16.3f %16.3f %6.2f%s\n", size, _frames, _runs, _topics, one, many,
                    one > 0 ? many / one : 0.0, lost ? "  (LOSS)" : "");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--baseline") == 0) {
        return baseline_main(argv[2], argv[3]);
    }
    const long frames = argc > 1 ? std::stol(argv[1]) : 1000000;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 5;
    const std::string agent_binary = argc > 3 ? argv[3] : ORQ_AGENT_BINARY;
    const int topics = argc > 4 ? std::stoi(argv[4]) : 0;
    std::vector<std::size_t> sizes{16, 100, 1000};
    if (argc > 5) {
        sizes = {static_cast<std::size_t>(std::stoul(argv[5]))};
    }
    if (topics > 0) {
        return topics_main(agent_binary, topics, sizes, frames, runs);
    }
    std::printf("%-6s %8s %5s %16s %16s %6s %13s %13s\n", "bytes", "frames", "runs", "agent us/frame", "baseline us/fr",
                "ratio", "agent fr/s", "baseline fr/s");
    for (const std::size_t size : sizes) {
        std::vector<double> agent_cpu, baseline_cpu, agent_rate, baseline_rate;
        bool lost = false;
        for (int run = 0; run < runs; ++run) {
            const result agent = run_agent(agent_binary, size, frames);
            const result baseline = run_baseline(size, frames);
            lost = lost || agent.cpu_per_frame == 0 || baseline.cpu_per_frame == 0;
            agent_cpu.push_back(agent.cpu_per_frame * 1e6);
            baseline_cpu.push_back(baseline.cpu_per_frame * 1e6);
            agent_rate.push_back(agent.frames_per_second);
            baseline_rate.push_back(baseline.frames_per_second);
        }
        const double agent = median(agent_cpu);
        const double baseline = median(baseline_cpu);
        std::printf("%-6zu %8ld %5d %16.3f %16.3f %6.2f %13.0f %13.0f%s\n", size, frames, runs, agent, baseline,
                    agent > 0 ? baseline / agent : 0.0, median(agent_rate), median(baseline_rate),
                    lost ? "  (LOSS)" : "");
        std::fflush(stdout);
    }
    return 0;
}
