#pragma once

#include <boost/optional.hpp>
#include <boost/range/any_range.hpp>

#include <cstddef>
#include <string>
#include <type_traits>

namespace orq::libs::config {

class dictionary;
class value;

// The elements of a document array in document order. The range refers to
// storage owned by the document and is valid as long as the document.
using array = boost::any_range<value, boost::bidirectional_traversal_tag, value&, std::ptrdiff_t>;

// One value of a document. Conversions never convert between document types:
// each gives a value only when the stored value has exactly that type, and a
// null gives nothing at all.
class value {
public:
    virtual ~value();

    virtual boost::optional<bool> as_bool() const = 0;
    // Integral numbers, including reals without a fractional part. A number
    // outside the range of int throws the parser's logic error.
    virtual boost::optional<int> as_int() const = 0;
    virtual boost::optional<double> as_double() const = 0;
    virtual boost::optional<std::string> as_string() const = 0;
    virtual boost::optional<const dictionary&> as_object() const = 0;
    virtual boost::optional<array> as_array() const = 0;

    // The conversion selected by type: bool, int, double, std::string,
    // const dictionary& or array.
    template <typename T>
    boost::optional<T> get() const {
        if constexpr (std::is_same_v<T, bool>) {
            return as_bool();
        } else if constexpr (std::is_same_v<T, int>) {
            return as_int();
        } else if constexpr (std::is_same_v<T, double>) {
            return as_double();
        } else if constexpr (std::is_same_v<T, std::string>) {
            return as_string();
        } else if constexpr (std::is_same_v<T, const dictionary&>) {
            return as_object();
        } else if constexpr (std::is_same_v<T, array>) {
            return as_array();
        } else {
            static_assert(!sizeof(T*),
                          "value::get supports bool, int, double, std::string, const dictionary& and array");
        }
    }

protected:
    value() = default;
    value(const value&) = default;
    value(value&&) = default;
    value& operator=(const value&) = default;
    value& operator=(value&&) = default;
};

}  // namespace orq::libs::config
