#include <core/exception.hpp>
#include <core/http/method.hpp>

namespace orq::libs::core::http {

const char* to_string(method _method) {
    switch (_method) {
    case method::get:
        return "GET";
    case method::post:
        return "POST";
    case method::put:
        return "PUT";
    case method::del:
        return "DELETE";
    case method::_count:
        break;
    }
    throw exception("Unknown enumeration value", ORQ_SOURCE_LOCATION);
}

}  // namespace orq::libs::core::http
