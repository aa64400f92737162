#include "endpoint.hpp"

#include "error.hpp"

#include <cerrno>
#include <random>

namespace orq::libs::core::zmq::detail {

namespace {

// A port number of 1 to 5 digits in 1..65535; an empty text gives _default,
// anything else 0.
std::uint16_t parse_port(const std::string& _text, std::uint16_t _default) {
    if (_text.empty()) {
        return _default;
    }
    if (_text.size() > 5) {
        return 0;
    }
    unsigned long value = 0;
    for (const char c : _text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value > 65535 ? 0 : static_cast<std::uint16_t>(value);
}

// The dynamic forms extend what zmq_bind accepts, so a malformed one fails as
// zmq_bind would.
[[noreturn]] void throw_malformed(const std::string& _endpoint) {
    throw_error(EINVAL, "zmq_bind", _endpoint);
}

}  // namespace

boost::optional<dynamic_endpoint> parse_dynamic_endpoint(const std::string& _endpoint) {
    static const std::string tcp = "tcp://";
    if (_endpoint.compare(0, tcp.size(), tcp) != 0) {
        return boost::none;
    }
    // The range holds no colon, so the last colon is the one before the port,
    // also after a bracketed IPv6 host.
    const std::size_t colon = _endpoint.rfind(':');
    if (colon == std::string::npos || colon < tcp.size()) {
        return boost::none;
    }
    const std::string port = _endpoint.substr(colon + 1);
    if (port.empty() || (port[0] != '*' && port[0] != '!')) {
        return boost::none;
    }
    dynamic_endpoint result;
    result.prefix = _endpoint.substr(0, colon + 1);
    result.random_start = port[0] == '!';
    const std::string range = port.substr(1);
    if (!range.empty()) {
        if (range.size() < 3 || range.front() != '[' || range.back() != ']') {
            throw_malformed(_endpoint);
        }
        const std::string inner = range.substr(1, range.size() - 2);
        const std::size_t hyphen = inner.find('-');
        if (hyphen == std::string::npos) {
            throw_malformed(_endpoint);
        }
        result.first = parse_port(inner.substr(0, hyphen), dynamic_endpoint::default_first);
        result.last = parse_port(inner.substr(hyphen + 1), dynamic_endpoint::default_last);
        if (result.first == 0 || result.last == 0 || result.first > result.last) {
            throw_malformed(_endpoint);
        }
    }
    return result;
}

int bind_dynamic(const dynamic_endpoint& _endpoint, std::uint16_t _start,
                 const std::function<int(const std::string&)>& _try_bind) {
    const std::uint32_t first = _endpoint.first;
    const std::uint32_t count = std::uint32_t(_endpoint.last) - first + 1;
    const std::uint32_t offset = (_start >= _endpoint.first && _start <= _endpoint.last) ? _start - first : 0;
    int error = EADDRINUSE;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto port = static_cast<std::uint16_t>(first + (offset + i) % count);
        error = _try_bind(_endpoint.with_port(port));
        if (error == 0 || (error != EADDRINUSE && error != EACCES)) {
            return error;
        }
    }
    return error;
}

std::uint16_t start_port(const dynamic_endpoint& _endpoint) {
    if (!_endpoint.random_start) {
        return _endpoint.first;
    }
    thread_local std::minstd_rand generator{std::random_device{}()};
    std::uniform_int_distribution<unsigned> pick(_endpoint.first, _endpoint.last);
    return static_cast<std::uint16_t>(pick(generator));
}

}  // namespace orq::libs::core::zmq::detail
