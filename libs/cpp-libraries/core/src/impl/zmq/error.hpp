#pragma once

#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

namespace orq::libs::core::zmq::detail {

// The "ZeroMQ" error category: values are ZeroMQ error numbers (the system's
// errno values plus ZeroMQ's own), messages are the zmq_strerror texts.
const boost::system::error_category& error_category() noexcept;

boost::system::error_code make_error_code(int _zmq_errno) noexcept;

// What every operation on a closed socket reports, synchronous or
// asynchronous: ENOTSOCK in the ZeroMQ category, libzmq's own answer for a
// socket that is gone. (Receives still pending when the socket is closed are
// cancelled instead: they complete with operation_aborted.)
boost::system::error_code socket_closed_error() noexcept;

// Every failure of the binding is thrown here, as boost::system::system_error
// with _error as it is: libzmq's errors in the ZeroMQ category, the system's
// own (eventfd, the reactor) in the system category. The text names the call
// and, where there is one, what it was about (an endpoint, an option):
// "zmq_bind tcp://127.0.0.1:7701: Address already in use [ZeroMQ:98]".
[[noreturn]] void throw_error(const boost::system::error_code& _error, const char* _call,
                              boost::string_view _target = {});

// The same for a ZeroMQ error number.
[[noreturn]] void throw_error(int _zmq_errno, const char* _call, boost::string_view _target = {});

}  // namespace orq::libs::core::zmq::detail
