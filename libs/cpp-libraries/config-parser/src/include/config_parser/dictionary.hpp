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
        if (!found) {
            return boost::none;
        }
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
