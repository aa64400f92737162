#include "value_impl.hpp"

#include <utility>

namespace orq::libs::config {

value::~value() = default;

value_impl::value_impl(const Json::Value& _scalar) : m_value(std::in_place_type<Json::Value>, _scalar) {}

value_impl::value_impl(const dictionary& _dictionary)
    : m_value(std::in_place_type<std::reference_wrapper<const dictionary>>, _dictionary) {}

value_impl::value_impl(array _array) : m_value(std::in_place_type<array>, std::move(_array)) {}

boost::optional<bool> value_impl::as_bool() const {
    const auto* json = scalar();
    if (json == nullptr || !json->isBool()) {
        return boost::none;
    }
    return json->asBool();
}

boost::optional<int> value_impl::as_int() const {
    const auto* json = scalar();
    if (json == nullptr || !json->isIntegral()) {
        return boost::none;
    }
    // Out of the int range this throws Json::LogicError, a std::exception.
    return json->asInt();
}

boost::optional<double> value_impl::as_double() const {
    const auto* json = scalar();
    if (json == nullptr || !json->isNumeric()) {
        return boost::none;
    }
    return json->asDouble();
}

boost::optional<std::string> value_impl::as_string() const {
    const auto* json = scalar();
    if (json == nullptr || !json->isString()) {
        return boost::none;
    }
    return json->asString();
}

boost::optional<const dictionary&> value_impl::as_object() const {
    const auto* held = std::get_if<std::reference_wrapper<const dictionary>>(&m_value);
    if (held == nullptr) {
        return boost::none;
    }
    return boost::optional<const dictionary&>(held->get());
}

boost::optional<array> value_impl::as_array() const {
    const auto* held = std::get_if<array>(&m_value);
    if (held == nullptr) {
        return boost::none;
    }
    return *held;
}

}  // namespace orq::libs::config
