#pragma once

#include <boost/system/error_code.hpp>

namespace orq::libs::core::zmq::detail {

// The "ZeroMQ" error category: values are ZeroMQ error numbers (the system's
// errno values plus ZeroMQ's own), messages are the zmq_strerror texts.
const boost::system::error_category& error_category() noexcept;

boost::system::error_code make_error_code(int _zmq_errno) noexcept;

// Throws boost::system::system_error in the ZeroMQ category.
[[noreturn]] void throw_error(int _zmq_errno);

}  // namespace orq::libs::core::zmq::detail
