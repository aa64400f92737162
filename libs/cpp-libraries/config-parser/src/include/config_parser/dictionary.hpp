#pragma once

#include <config_parser/value.hpp>

#include <boost/optional.hpp>

#include <string>
#include <vector>

namespace orq::libs::config {

// The members of one document object, by key.
class dictionary {
public:
    virtual ~dictionary();

    // The value stored under the key; empty when there is none.
    virtual boost::optional<const value&> get_value(const std::string& _key) const = 0;
    // All keys in ascending bytewise order.
    virtual std::vector<std::string> get_keys() const = 0;

    // get_value followed by the value's conversion to T (see value::get);
    // empty when the key is missing or its value has another type.
    template <typename T>
    boost::optional<T> get(const std::string& _key) const {
        const auto found = get_value(_key);
#if defined(__GNUC__) && !defined(__clang__)
// An empty optional of a trivial type is copied with its unset storage; once
// inlined, GCC reports that copy as a possibly uninitialized read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
        if (!found) {
            return boost::none;
        }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        return found->template get<T>();
    }

protected:
    dictionary() = default;
    dictionary(const dictionary&) = default;
    dictionary(dictionary&&) = default;
    dictionary& operator=(const dictionary&) = default;
    dictionary& operator=(dictionary&&) = default;
};

}  // namespace orq::libs::config
