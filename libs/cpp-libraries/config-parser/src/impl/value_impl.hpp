#pragma once

#include <config_parser/dictionary.hpp>
#include <config_parser/value.hpp>

#include <json/value.h>

#include <functional>
#include <variant>

namespace orq::libs::config {

// A document value: a copied scalar (string, number, boolean or null), a
// dictionary or a range over an array, both owned by the document.
class value_impl final : public value {
public:
    explicit value_impl(const Json::Value& _scalar);
    explicit value_impl(const dictionary& _dictionary);
    explicit value_impl(array _array);

    boost::optional<bool> as_bool() const override;
    boost::optional<int> as_int() const override;
    boost::optional<double> as_double() const override;
    boost::optional<std::string> as_string() const override;
    boost::optional<const dictionary&> as_object() const override;
    boost::optional<array> as_array() const override;

private:
    const Json::Value* scalar() const { return std::get_if<Json::Value>(&m_value); }

    std::variant<Json::Value, std::reference_wrapper<const dictionary>, array> m_value;
};

}  // namespace orq::libs::config
