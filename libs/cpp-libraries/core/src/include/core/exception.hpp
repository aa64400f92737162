#pragma once

#include <core/source_location.hpp>

#include <exception>
#include <ostream>
#include <string>

namespace orq::libs::core {

// Base of the library's exceptions: remembers where it was thrown.
// what() is "<file relative to the source root>:<line>" plus whatever the
// derived class describes.
class located_exception : public std::exception {
public:
    explicit located_exception(source_location _source_location);
    located_exception(const located_exception&) = default;
    located_exception(located_exception&&) = default;
    ~located_exception() override;

    // Valid until the next what() on this object or its destruction.
    const char* what() const noexcept override;
    virtual std::ostream& describe(std::ostream& _os) const;

    const source_location& get_source_location() const { return m_source_location; }

private:
    source_location m_source_location;
    mutable std::string m_what;
};

// A located exception with a message: "<file>:<line> <message>".
class exception : public located_exception {
public:
    exception(std::string _message, source_location _source_location);
    ~exception() override;

    const std::string& get_string_error() const { return m_str_error; }
    std::ostream& describe(std::ostream& _os) const override;

private:
    std::string m_str_error;
};

// Thrown when a condition that must hold is false; the message is
// "check failed: " and the condition's source text.
class check_failed_exception : public exception {
public:
    check_failed_exception(const std::string& _condition, source_location _source_location);
    ~check_failed_exception() override;
};

// One line for the exception currently being handled (call only in a handler):
// a located exception's description, "std::exception::what(): <text>" for other
// standard exceptions, "Unknown exception" for anything else.
std::string exception_to_string();
std::string exception_to_string(const located_exception& _exception);

}  // namespace orq::libs::core

// Throws check_failed_exception with the condition's text when it is false.
#define ORQ_CHECK(condition)                                                                  \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            throw ::orq::libs::core::check_failed_exception(#condition, ORQ_SOURCE_LOCATION); \
        }                                                                                     \
    } while (false)
