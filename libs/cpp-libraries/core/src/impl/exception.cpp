#include <core/exception.hpp>

#include <sstream>

namespace orq::libs::core {

located_exception::located_exception(source_location _source_location) : m_source_location(_source_location) {}

located_exception::~located_exception() = default;

const char* located_exception::what() const noexcept {
    try {
        std::ostringstream os;
        describe(os);
        m_what = os.str();
        return m_what.c_str();
    } catch (...) {
        // Out of memory while formatting: a fixed text is better than terminate.
        return "located_exception";
    }
}

std::ostream& located_exception::describe(std::ostream& _os) const {
    return _os << m_source_location.short_file() << ':' << m_source_location.line();
}

exception::exception(std::string _message, source_location _source_location)
    : located_exception(_source_location), m_str_error(std::move(_message)) {}

exception::~exception() = default;

std::ostream& exception::describe(std::ostream& _os) const {
    return located_exception::describe(_os) << ' ' << m_str_error;
}

check_failed_exception::check_failed_exception(const std::string& _condition, source_location _source_location)
    : exception("check failed: " + _condition, _source_location) {}

check_failed_exception::~check_failed_exception() = default;

std::string exception_to_string() {
    try {
        throw;
    } catch (const located_exception& e) {
        return exception_to_string(e);
    } catch (const std::exception& e) {
        return std::string("std::exception::what(): ") + e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

std::string exception_to_string(const located_exception& _exception) {
    std::ostringstream os;
    _exception.describe(os);
    return os.str();
}

}  // namespace orq::libs::core
