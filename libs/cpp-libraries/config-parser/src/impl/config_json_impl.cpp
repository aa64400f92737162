#include "config_json_impl.hpp"

#include <boost/throw_exception.hpp>

#include <json/reader.h>

#include <stdexcept>

namespace orq::libs::config {

config_json_impl::config_json_impl(std::istream& _stream) {
    Json::CharReaderBuilder builder;
    // Comments are still accepted and skipped (the reader's default); they
    // are just not kept.
    builder["collectComments"] = false;
    Json::Value document;
    std::string errors;
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, _stream, &document, &errors);
    } catch (const Json::Exception& e) {
        // The reader throws instead of reporting for some inputs, notably a
        // nesting deeper than its stack limit.
        errors = e.what();
    }
    if (!parsed) {
        boost::throw_exception(std::runtime_error("Cannot parse json: " + errors));
    }

    // The reader bounds the nesting depth, which bounds the recursion below.
    // A root that is not an object gives no named members: its elements all
    // carry the empty name and only the first of them is kept.
    process_members(document, m_dictionaries.emplace_back());
}

void config_json_impl::process_members(const Json::Value& _object, dictionary_impl& _dictionary) {
    for (auto member = _object.begin(); member != _object.end(); ++member) {
        process_value(*member, member.name(), _dictionary);
    }
}

void config_json_impl::process_value(const Json::Value& _json, const std::string& _name, dictionary_impl& _dictionary) {
    if (_json.isObject()) {
        auto& object = m_dictionaries.emplace_back();
        _dictionary.add_value(_name, value_impl(object));
        process_members(_json, object);
    } else if (_json.isArray()) {
        auto& elements = m_arrays.emplace_back();
        process_array(_json, elements);
        // The range is taken only now that the vector has stopped growing.
        _dictionary.add_value(_name, value_impl(array(elements)));
    } else {
        _dictionary.add_value(_name, value_impl(_json));
    }
}

void config_json_impl::process_array(const Json::Value& _json, std::vector<value_impl>& _elements) {
    _elements.reserve(_json.size());
    for (const auto& element : _json) {
        if (element.isObject()) {
            auto& object = m_dictionaries.emplace_back();
            _elements.emplace_back(object);
            process_members(element, object);
        } else if (element.isArray()) {
            auto& nested = m_arrays.emplace_back();
            process_array(element, nested);
            _elements.emplace_back(array(nested));
        } else {
            _elements.emplace_back(element);
        }
    }
}

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream) {
    return std::make_unique<config_json_impl>(_stream);
}

}  // namespace orq::libs::config
