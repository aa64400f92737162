#pragma once

#include <core/exception.hpp>
#include <core/source_location.hpp>

#include <boost/utility/string_view.hpp>

#include <cstdint>

namespace orq::libs::core::redis {

// The type of a Redis reply; the values are hiredis' REDIS_REPLY_* codes, so
// a reply's type field converts directly.
enum class reply_type : std::int32_t {
    STRING = 1,
    ARRAY = 2,
    INTEGER = 3,
    NIL = 4,
    STATUS = 5,
    ERROR = 6,
    _count = 7,
};

// The type's name; any value outside STRING..ERROR throws "Unknown enumeration value".
inline boost::string_view to_string(reply_type _type) {
    switch (_type) {
    case reply_type::STRING:
        return "string";
    case reply_type::ARRAY:
        return "array";
    case reply_type::INTEGER:
        return "integer";
    case reply_type::NIL:
        return "nil";
    case reply_type::STATUS:
        return "status";
    case reply_type::ERROR:
        return "error";
    case reply_type::_count:
        break;
    }
    throw exception("Unknown enumeration value", ORQ_SOURCE_LOCATION);
}

}  // namespace orq::libs::core::redis
