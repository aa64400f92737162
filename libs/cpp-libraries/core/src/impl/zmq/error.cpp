#include "error.hpp"

#include <boost/system/system_error.hpp>
#include <boost/throw_exception.hpp>

#include <zmq.h>

#include <cerrno>
#include <string>

namespace orq::libs::core::zmq::detail {

namespace {

class zmq_error_category final : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "ZeroMQ"; }
    std::string message(int _value) const override { return ::zmq_strerror(_value); }
};

}  // namespace

const boost::system::error_category& error_category() noexcept {
    static const zmq_error_category category;
    return category;
}

boost::system::error_code make_error_code(int _zmq_errno) noexcept {
    return boost::system::error_code(_zmq_errno, error_category());
}

boost::system::error_code socket_closed_error() noexcept {
    return make_error_code(ENOTSOCK);
}

void throw_error(const boost::system::error_code& _error, const char* _call, boost::string_view _target) {
    std::string what(_call);
    if (!_target.empty()) {
        what += ' ';
        what.append(_target.data(), _target.size());
    }
    boost::throw_exception(boost::system::system_error(_error, what));
}

void throw_error(int _zmq_errno, const char* _call, boost::string_view _target) {
    throw_error(make_error_code(_zmq_errno), _call, _target);
}

}  // namespace orq::libs::core::zmq::detail
