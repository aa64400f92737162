#pragma once

#include <boost/optional.hpp>

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace orq::libs::config {

// Why a lookup found nothing.
struct error_reason {
    std::string reason;
};

// Either the value found by a lookup or the reason why there is none.
template <typename T>
class result {
public:
    result(T _value) : m_value(std::in_place_index<0>, std::move(_value)) {}
    result(error_reason _error) : m_value(std::in_place_index<1>, std::move(_error)) {}

    bool ok() const { return m_value.index() == 0; }

    // The value, or empty when the result holds an error.
    boost::optional<T> try_get() const {
#if defined(__GNUC__) && !defined(__clang__)
// An empty optional of a trivial type is copied with its unset storage; once
// inlined, GCC reports that copy as a possibly uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
        if (!ok()) {
            return boost::none;
        }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        return std::get<0>(m_value);
    }

    // The value; throws std::logic_error with the reason when there is none.
    const T& value() const {
        if (!ok()) {
            throw std::logic_error("result holds no value: " + std::get<1>(m_value).reason);
        }
        return std::get<0>(m_value);
    }

    // The reason; empty when the result holds a value.
    const std::string& reason() const {
        static const std::string none;
        return ok() ? none : std::get<1>(m_value).reason;
    }

private:
    std::variant<T, error_reason> m_value;
};

}  // namespace orq::libs::config
