// Cost per frame of the raw stream's topic dispatch, driven directly (no
// socket), against the number of subscribed topics. The topics look like the
// services' own ("&module-<i>:component ", so their lengths vary with the
// number of digits); each has one subscriber that counts its calls. The
// frames alternate between one of the topic that sorts last and one that no
// topic begins, both 100 bytes.
//
//   topic_dispatch_bench [rounds, default 5]
//
// Each figure is the median of the rounds; a round runs the dispatch until at
// least 100 ms have passed, so that the clock's resolution does not count.

#include <impl/topic_dispatch.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace detail = orq::libs::core::detail;
using clock_type = std::chrono::steady_clock;

namespace {

std::string topic_name(int _index) {
    return "&module-" + std::to_string(_index) + ":component ";
}

// Nanoseconds per frame of one round.
double round_ns(detail::topic_subscribers_map& _map, const std::string& _matching, const std::string& _unmatched) {
    const auto least = std::chrono::milliseconds(100);
    long frames = 0;
    const auto start = clock_type::now();
    auto now = start;
    for (long batch = 64; now - start < least; batch *= 2) {
        for (long i = 0; i < batch; ++i) {
            detail::dispatch_message(_map, _matching);
            detail::dispatch_message(_map, _unmatched);
        }
        frames += 2 * batch;
        now = clock_type::now();
    }
    return std::chrono::duration<double, std::nano>(now - start).count() / static_cast<double>(frames);
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    const std::size_t n = _values.size();
    return n % 2 == 1 ? _values[n / 2] : (_values[n / 2 - 1] + _values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("%8s %12s %12s\n", "topics", "ns/frame", "calls");
    for (const int topics : {1, 10, 100, 1000, 10000}) {
        long calls = 0;
        std::vector<std::string> names;
        detail::topic_subscribers_map map;
        for (int i = 0; i < topics; ++i) {
            auto subscriber = std::make_shared<detail::topic_subscriber>();
            subscriber->m_callback = [&calls](boost::string_view) { ++calls; };
            names.push_back(topic_name(i));
            map[names.back()].push_back(std::move(subscriber));
        }
        const std::string last = *std::max_element(names.begin(), names.end());
        std::string matching = last + "a line of the service";
        std::string unmatched = "~no topic begins this frame";
        matching.resize(100, '.');
        unmatched.resize(100, '.');

        std::vector<double> figures;
        for (int round = 0; round < rounds; ++round) {
            figures.push_back(round_ns(map, matching, unmatched));
        }
        std::printf("%8d %12.1f %12ld\n", topics, median(figures), calls);
        std::fflush(stdout);
    }
    return 0;
}
