// Frames per second that reach an output file: the agent (the real binary,
// subscribed to a plain libzmq publisher) against a baseline, a plain blocking
// libzmq SUB loop in this process that writes and flushes each frame the same
// way (bytes, newline, flush). The publisher has SNDHWM 0; every frame must
// arrive (loss is checked).
//
//   agent_throughput_bench [frames-of-100-bytes]   (default 200000)

#include <zmq.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

// Sends the frames, then times the file from its first new byte to the last.
double measure(publisher& _pub, const std::string& _path, long _start, std::size_t _size, long _frames) {
    const std::string frame(_size, 'x');
    const long expected = _start + _frames * static_cast<long>(_size + 1);
    std::thread sender([&] {
        for (long i = 0; i < _frames; ++i) {
            _pub.socket.send(zmq::buffer(frame), zmq::send_flags::none);
        }
    });
    while (file_size(_path) == _start) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const auto first = clock_type::now();
    const auto give_up = first + std::chrono::seconds(120);
    long size = 0;
    while ((size = file_size(_path)) < expected && clock_type::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const auto last = clock_type::now();
    sender.join();
    if (size != expected) {
        std::printf("  LOSS: %ld of %ld bytes\n", size - _start, expected - _start);
        return 0;
    }
    return static_cast<double>(_frames) / std::chrono::duration<double>(last - first).count();
}

double run_agent(std::size_t _size, long _frames) {
    publisher pub;
    const std::string path = "/tmp/orq-bench-agent.out";
    std::remove(path.c_str());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(ORQ_AGENT_BINARY, ORQ_AGENT_BINARY, "-a", pub.endpoint.c_str(), "-f", path.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const long start = sync(pub, path);
    const double rate = measure(pub, path, start, _size, _frames);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::remove(path.c_str());
    return rate;
}

double run_baseline(std::size_t _size, long _frames) {
    publisher pub;
    const std::string path = "/tmp/orq-bench-baseline.out";
    std::remove(path.c_str());
    zmq::context_t context;
    std::thread tap([&] {
        zmq::socket_t sub(context, zmq::socket_type::sub);
        sub.set(zmq::sockopt::subscribe, "");
        sub.connect(pub.endpoint);
        std::ofstream out(path, std::ios::app | std::ios::binary);
        zmq::message_t message;
        try {
            while (sub.recv(message)) {
                out.write(static_cast<const char*>(message.data()), static_cast<std::streamsize>(message.size()));
                out.put('\n');
                out.flush();
            }
        } catch (const zmq::error_t&) {
            // context shut down: done
        }
    });
    const long start = sync(pub, path);
    const double rate = measure(pub, path, start, _size, _frames);
    context.shutdown();
    tap.join();
    std::remove(path.c_str());
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const long base_frames = argc > 1 ? std::stol(argv[1]) : 200000;
    std::printf("%-8s %10s %14s %14s %7s\n", "bytes", "frames", "agent fr/s", "baseline fr/s", "ratio");
    for (const std::size_t size : {16u, 100u, 1000u, 65536u}) {
        // Bound the data written per run to about 256 MiB.
        const long frames = std::min<long>(base_frames, (256L << 20) / static_cast<long>(size + 1));
        const double baseline = run_baseline(size, frames);
        const double agent = run_agent(size, frames);
        std::printf("%-8zu %10ld %14.0f %14.0f %7.2f\n", size, frames, agent, baseline,
                    baseline > 0 ? agent / baseline : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
