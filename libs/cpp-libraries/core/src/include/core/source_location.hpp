#pragma once

#include <boost/utility/string_view.hpp>

#include <cstdint>

namespace orq::libs::core {

// Line, file and pretty function signature of a call site. The views refer to
// string literals supplied by the compiler, so a location stays valid for the
// whole run and is copied freely.
class source_location {
public:
    source_location() = default;
    source_location(long _line, boost::string_view _file, boost::string_view _function)
        : m_line(_line), m_file(_file), m_function(_function) {}

    std::int64_t line() const { return m_line; }
    boost::string_view file() const { return m_file; }
    boost::string_view function() const { return m_function; }

    // The file with the library's source root removed (see below).
    boost::string_view short_file() const;
    // The qualified name of the function without return type and parameters,
    // e.g. "orq::libs::core::detail::check_pid"; the whole text when it is not
    // inside the orq namespace.
    boost::string_view short_function() const;
    // A path below the library's source root without the root: the result
    // begins with the "/" that follows it. Any other path (a program built
    // against the installed library, for one) comes back whole.
    boost::string_view remove_directory_prefix(boost::string_view _path) const;

private:
    std::int64_t m_line = 0;
    boost::string_view m_file;
    boost::string_view m_function;
};

}  // namespace orq::libs::core

// Captures the location of the call site.
#define ORQ_SOURCE_LOCATION ::orq::libs::core::source_location(__LINE__, __FILE__, __PRETTY_FUNCTION__)
