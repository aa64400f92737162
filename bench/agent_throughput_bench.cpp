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
//   agent_throughput_bench [frames] [runs] [agent]
//
// Defaults: 1000000 frames, 5 runs, the agent of this build (another agent
// binary can be given to compare builds).

#include <zmq.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

long file_size(const std::string& _path) {
    struct stat info {};
    return ::stat(_path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : 0;
}

struct publisher {
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::pub};
    std::string endpoint;
    publisher() {
        socket.set(zmq::sockopt::sndhwm, 0);
        socket.set(zmq::sockopt::linger, 0);
        socket.bind("tcp://127.0.0.1:*");
        endpoint = socket.get(zmq::sockopt::last_endpoint);
    }
};

// Publishes probes until one reaches the file: the subscription is live.
long sync(publisher& _pub, const std::string& _path) {
    while (true) {
        _pub.socket.send(zmq::str_buffer("p"), zmq::send_flags::none);
        const auto until = clock_type::now() + std::chrono::milliseconds(20);
        while (clock_type::now() < until) {
            if (file_size(_path) > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let straggling probes land
                return file_size(_path);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

// CPU time (user + system, all threads) of another process, in seconds.
double cpu_seconds(pid_t _pid) {
    clockid_t clock{};
    timespec now{};
    if (::clock_getcpuclockid(_pid, &clock) != 0 || ::clock_gettime(clock, &now) != 0) {
        return -1;
    }
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct result {
    double cpu_per_frame = 0;  // seconds; 0 after a loss
    double frames_per_second = 0;
};

// Sends the frames and waits until the file holds them all.
result measure(publisher& _pub, pid_t _pid, const std::string& _path, long _start, std::size_t _size,
               long _frames) {
    const std::string frame(_size, 'x');
    const long expected = _start + _frames * static_cast<long>(_size + 1);
    const double cpu_before = cpu_seconds(_pid);
    const auto first = clock_type::now();
    std::thread sender([&] {
        for (long i = 0; i < _frames; ++i) {
            _pub.socket.send(zmq::buffer(frame), zmq::send_flags::none);
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
result run_process(const std::vector<std::string>& _argv, publisher& _pub, const std::string& _path,
                   std::size_t _size, long _frames) {
    std::remove(_path.c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& arg : _argv) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const long start = sync(_pub, _path);
    const result measured = measure(_pub, pid, _path, start, _size, _frames);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::remove(_path.c_str());
    return measured;
}

result run_agent(const std::string& _agent, std::size_t _size, long _frames) {
    publisher pub;
    return run_process({_agent, "-a", pub.endpoint, "-f", "/tmp/orq-bench-agent.out"}, pub,
                       "/tmp/orq-bench-agent.out", _size, _frames);
}

result run_baseline(std::size_t _size, long _frames) {
    publisher pub;
    return run_process({"/proc/self/exe", "--baseline", pub.endpoint, "/tmp/orq-bench-baseline.out"}, pub,
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--baseline") == 0) {
        return baseline_main(argv[2], argv[3]);
    }
    const long frames = argc > 1 ? std::stol(argv[1]) : 1000000;
    const int runs = argc > 2 ? std::stoi(argv[2]) : 5;
    const std::string agent_binary = argc > 3 ? argv[3] : ORQ_AGENT_BINARY;
    std::printf("%-6s %8s %5s %16s %16s %6s %13s %13s\n", "bytes", "frames", "runs", "agent us/frame",
                "baseline us/fr", "ratio", "agent fr/s", "baseline fr/s");
    for (const std::size_t size : {16u, 100u, 1000u}) {
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
