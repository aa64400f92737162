#pragma once

#include <cstdint>

namespace orq::libs::core::http {

// The request methods a client can send.
enum class method : std::int32_t {
    get = 0,
    post = 1,
    put = 2,
    del = 3,
    // Number of methods; not a method itself.
    _count = 4,
};

// "GET", "POST", "PUT", "DELETE"; any other value (including _count) throws
// the library's exception "Unknown enumeration value".
const char* to_string(method _method);

}  // namespace orq::libs::core::http
